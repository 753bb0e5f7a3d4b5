// SPDX-License-Identifier: GPL-3.0-or-later
#include "download/gallery.h"

#include <json-c/json.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <tuple>

#include "download/archive.h"
#include "download/photo_file.h"
#include "util/codepage.h"

namespace af {

namespace {

namespace fs = std::filesystem;

struct JsonDeleter {
  void operator()(json_object* value) const { json_object_put(value); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

json_object* json_text(const std::string& text) {
  return json_object_new_string_len(text.data(), static_cast<int>(text.size()));
}

// A photo's row of the page's data: [file, caption, uploaded or null, feed id] and its folder
// when that is not its album's.
void add_photo_row(json_object* row, const GalleryPhoto& photo, const std::string& album_folder) {
  json_object_array_add(row, json_text(photo.file));
  json_object_array_add(row, json_text(photo.caption));
  json_object_array_add(row, photo.uploaded ? json_object_new_int64(*photo.uploaded) : nullptr);
  json_object_array_add(row, json_text(photo.feed_id));
  if (!photo.folder.empty() && photo.folder != album_folder) json_object_array_add(row, json_text(photo.folder));
}

// The page's data: {"title":..., "albums":[{"name", "dir", "photos":[[file, caption,
// uploaded or null, feed id], ...]}]}. Inside a script element the HTML parser looks for
// "</script" and "<!--": no "<", ">" or "&" is left outside a \u escape.
std::string page_data(const std::string& title, const std::vector<GalleryAlbum>& albums) {
  std::string json = gallery_data_opening(title);
  for (std::size_t i = 0; i < albums.size(); ++i) {
    json += gallery_album_opening(albums[i], i == 0);
    for (std::size_t k = 0; k < albums[i].photos.size(); ++k)
      json += (k == 0 ? "" : ",") + gallery_photo_row(albums[i].photos[k], albums[i].folder);
    json += "]}";
  }
  return gallery_data_text(json + "]}");
}

}  // namespace

std::string gallery_data_text(std::string_view json) {
  std::string data;
  data.reserve(json.size());
  for (const char c : json) {
    switch (c) {
      case '<':
        data += "\\u003c";
        break;
      case '>':
        data += "\\u003e";
        break;
      case '&':
        data += "\\u0026";
        break;
      default:
        data += c;
    }
  }
  return data;
}

std::string gallery_json_text(const std::string& text) {
  const JsonPtr value(json_text(text));
  return json_object_to_json_string_ext(value.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

std::string gallery_data_opening(const std::string& title) {
  return "{\"title\":" + gallery_json_text(title) + ",\"albums\":[";
}

std::string gallery_album_opening(const GalleryAlbum& album, bool first) {
  return (first ? "{\"name\":" : ",{\"name\":") + gallery_json_text(album.name) + ",\"dir\":" +
         gallery_json_text(album.folder) + ",\"photos\":[";
}

std::string gallery_photo_row(const GalleryPhoto& photo, const std::string& album_folder) {
  const JsonPtr row(json_object_new_array());
  add_photo_row(row.get(), photo, album_folder);
  return json_object_to_json_string_ext(row.get(), JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

namespace {

constexpr std::string_view kPageHead = R"PAGE(<!DOCTYPE html>
<html lang="zh-CN">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; img-src 'self' file:; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<meta name="generator" content="Album Fetcher">
<title>相册浏览</title>
<style>
:root{color-scheme:light dark;--bg:#f5f5f2;--fg:#1f1f1f;--muted:#6b6b6b;--card:#fff;--line:#0002}
@media (prefers-color-scheme:dark){:root{--bg:#1b1b1d;--fg:#ececec;--muted:#a0a0a0;--card:#2b2b2e;--line:#fff2}}
[hidden]{display:none!important}
body{margin:0;background:var(--bg);color:var(--fg);font:14px/1.5 "Noto Sans CJK SC","Source Han Sans SC","WenQuanYi Micro Hei","Microsoft YaHei","PingFang SC",sans-serif}
body.viewing{overflow:hidden}
header{position:sticky;top:0;z-index:2;background:var(--bg);padding:12px 24px 10px;border-bottom:1px solid var(--line)}
h1{margin:0 0 8px;font-size:22px;font-weight:600;unicode-bidi:isolate}
.bar{display:flex;flex-wrap:wrap;gap:8px 16px;align-items:center}
.bar input{font:inherit;padding:3px 6px}
#q{width:16em}
#count{color:var(--muted)}
main{padding:4px 24px 48px}
main section{content-visibility:auto;contain-intrinsic-size:auto 1200px}
h2{font-size:17px;font-weight:600;margin:22px 0 10px}
h2 .name{unicode-bidi:isolate}
h2 .info{font-size:13px;font-weight:normal;color:var(--muted);margin-left:12px}
.grid{display:flex;flex-wrap:wrap;gap:14px 12px}
.grid figure{margin:0;width:180px;cursor:pointer;border-radius:6px;outline-offset:3px}
.grid img{display:block;width:180px;height:150px;object-fit:cover;border-radius:6px;background:var(--line)}
.grid figcaption{position:relative;height:3em;margin-top:4px}
.text{display:-webkit-box;-webkit-box-orient:vertical;-webkit-line-clamp:2;overflow:hidden;overflow-wrap:anywhere;unicode-bidi:isolate}
.grid figure:hover .text,.grid figure:focus .text{display:block;position:absolute;z-index:1;left:-6px;right:-6px;top:-4px;padding:4px 6px;background:var(--card);border-radius:6px;box-shadow:0 2px 10px #0004}
.grid time{display:block;color:var(--muted);font-size:12px}
#empty{color:var(--muted);margin:32px 0}
#viewer{position:fixed;inset:0;z-index:10;display:flex;align-items:center;justify-content:center;gap:12px;background:#000e;color:#eee}
#viewer button{flex:none;width:52px;height:72px;border:0;border-radius:8px;background:#fff2;color:#fff;font-size:34px;line-height:1;cursor:pointer}
#viewer button:disabled{opacity:.25;cursor:default}
#close{position:absolute;top:14px;right:18px;height:52px!important}
.stage{display:flex;flex-direction:column;align-items:center;max-width:calc(100vw - 160px)}
#big{display:block;width:calc(100vw - 200px);height:calc(100vh - 150px);object-fit:contain}
.about{max-width:760px;margin-top:10px;text-align:center}
#vcap{margin:0;white-space:pre-wrap;overflow-wrap:anywhere;unicode-bidi:isolate}
.meta{margin:4px 0 0;color:#bbb;font-size:13px}
.meta>*+*{margin-left:14px}
#vlink{color:#9cf}
</style>
</head>
<body>
<header>
<h1 id="title"></h1>
<div class="bar">
<input id="q" type="search" placeholder="搜索标题" autocomplete="off" aria-label="搜索标题">
<label>从 <input id="from" type="date"></label>
<label>到 <input id="to" type="date"></label>
<span id="count"></span>
</div>
</header>
)PAGE";

constexpr std::string_view kLeftOut = "未收入本页的相册文件夹（没有可读的相册索引）：";

constexpr std::string_view kPageBody =
    R"PAGE(<main id="albums"><p id="empty" hidden>没有符合条件的照片。</p></main>
<div id="viewer" hidden>
<button id="close" type="button" title="关闭（Esc）">×</button>
<button id="prev" type="button" title="上一张（←）">‹</button>
<div class="stage">
<img id="big" alt="">
<div class="about"><p id="vcap"></p><p class="meta"><time id="vtime"></time><span id="vpos"></span><a id="vlink" target="_blank" rel="noopener noreferrer">查看原微博</a></p></div>
</div>
<button id="next" type="button" title="下一张（→）">›</button>
</div>
<script type="application/json" id="data">)PAGE";

constexpr std::string_view kPageTail = R"PAGE(</script>
<script>
'use strict';
(function () {
  const $ = (id) => document.getElementById(id);
  const data = JSON.parse($('data').textContent);
  // Upload times in China Standard Time, whatever the viewer's zone: "YYYY-MM-DD HH:MM:SS".
  const cst = (t) => (typeof t === 'number' ? new Date((t + 28800) * 1000).toISOString().slice(0, 19).replace('T', ' ') : '');
  const element = (tag, cls, text) => {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  };
  document.title = data.title + ' · 相册浏览';
  $('title').textContent = data.title;

  // Pictures are asked for as they come near the window: browsers load every picture of a
  // page opened from a file at once, whatever loading="lazy" says.
  const near = 'IntersectionObserver' in window
    ? new IntersectionObserver((entries) => {
      for (const e of entries) if (e.isIntersecting) { near.unobserve(e.target); e.target.src = e.target.dataset.src; }
    }, { rootMargin: '600px 0px' })
    : null;
  const sections = [];
  let total = 0;
  const page = document.createDocumentFragment();
  for (const album of data.albums) {
    const section = element('section');
    const heading = element('h2');
    const info = element('span', 'info');
    heading.append(element('span', 'name', album.name), info);
    const grid = element('div', 'grid');
    section.append(heading, grid);
    const entry = { section, info, photos: [], span: '' };
    const times = album.photos.map((p) => p[2]).filter((t) => typeof t === 'number');
    if (times.length) {
      const first = cst(times.reduce((a, b) => Math.min(a, b))).slice(0, 10);
      const last = cst(times.reduce((a, b) => Math.max(a, b))).slice(0, 10);
      entry.span = first === last ? first : first + ' ～ ' + last;
    }
    for (const [file, caption, uploaded, feed, dir] of album.photos) {
      const when = cst(uploaded);
      const figure = element('figure');
      figure.tabIndex = 0;
      const img = element('img');
      img.loading = 'lazy';
      img.decoding = 'async';
      img.alt = caption;
      const src = encodeURIComponent(dir || album.dir) + '/' + encodeURIComponent(file);
      img.dataset.src = src;
      if (near) near.observe(img);
      else img.src = src;
      const text = element('span', 'text', caption);
      text.title = caption;
      const figcaption = element('figcaption');
      figcaption.append(text);
      figure.append(img, figcaption, element('time', '', when.slice(0, 10)));
      const photo = { figure, src, caption, words: caption.toLowerCase(), day: when.slice(0, 10), when, feed };
      figure.addEventListener('click', () => open(photo));
      figure.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); open(photo); }
      });
      grid.append(figure);
      entry.photos.push(photo);
    }
    total += entry.photos.length;
    sections.push(entry);
    page.append(section);
  }
  $('albums').append(page);

  // The search and the dates live in the address after "#", so a reload keeps them.
  let shown = [];
  const fields = { q: $('q'), from: $('from'), to: $('to') };
  function apply() {
    const words = fields.q.value.toLowerCase().split(/\s+/).filter(Boolean);
    const from = fields.from.value;
    const to = fields.to.value;
    shown = [];
    for (const s of sections) {
      let n = 0;
      for (const p of s.photos) {
        const ok = words.every((w) => p.words.includes(w)) && (!from || (p.day && p.day >= from)) && (!to || (p.day && p.day <= to));
        p.figure.hidden = !ok;
        if (ok) { n++; shown.push(p); }
      }
      s.section.hidden = n === 0;
      s.info.textContent = (n === s.photos.length ? n + ' 张' : n + ' / ' + s.photos.length + ' 张') + (s.span ? ' · ' + s.span : '');
    }
    $('count').textContent = shown.length === total ? '共 ' + total + ' 张' : '显示 ' + shown.length + ' / ' + total + ' 张';
    $('empty').hidden = shown.length > 0;
  }
  function save() {
    const state = new URLSearchParams();
    for (const [key, field] of Object.entries(fields)) if (field.value) state.set(key, field.value);
    const text = state.toString();
    history.replaceState(null, '', text ? '#' + text : location.pathname + location.search);
  }
  function load() {
    const state = new URLSearchParams(location.hash.slice(1));
    for (const [key, field] of Object.entries(fields)) field.value = state.get(key) || '';
    apply();
  }
  for (const field of Object.values(fields)) field.addEventListener('input', () => { apply(); save(); });
  window.addEventListener('hashchange', load);
  load();

  // The viewer: the photos the search leaves, one at a time.
  const viewer = $('viewer');
  const big = $('big');
  let current = -1;
  function show(i) {
    current = i;
    const p = shown[i];
    big.src = p.src;
    big.alt = p.caption;
    $('vcap').textContent = p.caption;
    $('vtime').textContent = p.when ? '上传于 ' + p.when + '（北京时间）' : '上传时间不详';
    $('vpos').textContent = i + 1 + ' / ' + shown.length;
    const link = $('vlink');
    link.hidden = !/^[0-9]+$/.test(p.feed);
    if (!link.hidden) link.href = 'https://m.weibo.cn/status/' + p.feed;
    $('prev').disabled = i === 0;
    $('next').disabled = i === shown.length - 1;
  }
  function open(photo) {
    const i = shown.indexOf(photo);
    if (i < 0) return;
    viewer.hidden = false;
    document.body.classList.add('viewing');
    show(i);
    $('close').focus();
  }
  function close() {
    const p = shown[current];
    viewer.hidden = true;
    big.removeAttribute('src');
    document.body.classList.remove('viewing');
    current = -1;
    if (p) p.figure.focus();
  }
  const step = (by) => { const i = current + by; if (i >= 0 && i < shown.length) show(i); };
  $('prev').addEventListener('click', () => step(-1));
  $('next').addEventListener('click', () => step(1));
  $('close').addEventListener('click', close);
  viewer.addEventListener('click', (e) => { if (e.target === viewer) close(); });
  document.addEventListener('keydown', (e) => {
    if (viewer.hidden) return;
    if (e.key === 'Escape') close();
    else if (e.key === 'ArrowLeft') step(-1);
    else if (e.key === 'ArrowRight') step(1);
    else return;
    e.preventDefault();
  });
})();
</script>
</body>
</html>
)PAGE";

// `text` as HTML text: no markup character left.
std::string html_text(const std::string& text) {
  std::string html;
  for (char c : text) {
    switch (c) {
      case '&':
        html += "&amp;";
        break;
      case '<':
        html += "&lt;";
        break;
      case '>':
        html += "&gt;";
        break;
      case '"':
        html += "&quot;";
        break;
      case '\'':
        html += "&#39;";
        break;
      default:
        html += c;
    }
  }
  return html;
}

}  // namespace

std::string gallery_page(const std::string& title, const std::vector<GalleryAlbum>& albums,
                         const std::vector<std::string>& left_out) {
  return gallery_page_opening(left_out) + page_data(title, albums) + std::string(kPageTail);
}

std::string gallery_page_opening(const std::vector<std::string>& left_out) {
  std::string page(kPageHead);
  if (!left_out.empty()) {
    page += "<p class=\"left-out\" style=\"margin:10px 24px 0;color:#c0392b\">";
    page += kLeftOut;
    for (std::size_t i = 0; i < left_out.size(); ++i) page += (i == 0 ? "" : "、") + html_text(left_out[i]);
    page += "</p>\n";
  }
  page += kPageBody;
  return page;
}

std::string_view gallery_page_closing() { return kPageTail; }

}  // namespace af
