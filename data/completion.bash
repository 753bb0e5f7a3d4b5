# Bash completion of albumfetcher-cli and albumfetcher: their options, and the values of an
# option where there is a set to choose from or a folder or file to name.

# One option a line: the option, then what follows it: "-" nothing, "dir" a folder, "file"
# a file, "text" a value to type, or else the words to offer.
_albumfetcher_cli_options='
--list -
--list-photos -
--albums all
--save-dir dir
--record on off
--index on off
--gallery dir
--jobs 1 2 3 4 5 6 7 8
--range off
--cookies file
--cookies-from-browser firefox
--service-base text
--program-dir dir
--users file
--verify dir
--repair -
--pace-factor text
--verbose -
-h -
--help -
--version -
'
_albumfetcher_window_options='
-h -
--help -
--help-all -
-v -
--version -
--home text
--service-base text
--demo -
--pace-factor text
--service-profile classic today bad-day
--web-engine-log -
--program-dir dir
'

# _albumfetcher_complete TABLE: COMPREPLY for the word under the cursor.
_albumfetcher_complete() {
  local table=$1 cur=${COMP_WORDS[COMP_CWORD]} option= name kind=
  [[ $COMP_CWORD -ge 1 ]] && option=${COMP_WORDS[COMP_CWORD - 1]}
  # "--name=value": bash splits the word at "=".
  if [[ $cur == "=" ]]; then
    cur=
  elif [[ $option == "=" && $COMP_CWORD -ge 2 ]]; then
    option=${COMP_WORDS[COMP_CWORD - 2]}
  fi
  while read -r name kind; do
    [[ -n $name && $name == "$option" ]] && break
    kind=
  done <<<"$table"
  COMPREPLY=()
  case $kind in
    dir | file)
      compopt -o filenames 2>/dev/null
      if [[ $kind == dir ]]; then
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
      else
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
      fi
      return ;;
    text) return ;;
    "" | -) ;;
    *)
      mapfile -t COMPREPLY < <(compgen -W "$kind" -- "$cur")
      return ;;
  esac
  if [[ $cur == -* ]]; then
    local names=
    while read -r name kind; do names+=" $name"; done <<<"$table"
    mapfile -t COMPREPLY < <(compgen -W "$names" -- "$cur")
  fi
}

_albumfetcher_cli() { _albumfetcher_complete "$_albumfetcher_cli_options"; }
_albumfetcher_window() { _albumfetcher_complete "$_albumfetcher_window_options"; }
complete -F _albumfetcher_cli albumfetcher-cli
complete -F _albumfetcher_window albumfetcher
