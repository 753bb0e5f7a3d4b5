#pragma once
// The owners of every libcurl object of the program, and libcurl's one set-up for the
// process. Nothing else in src/ creates or frees a curl object.
#include <curl/curl.h>

#include <string>

namespace af {

// Sets libcurl up for the process, once, whichever thread asks first. False when it failed;
// every owner below then holds nothing.
bool curl_ready();

// One easy handle (one transfer at a time, its connections and cookies with it).
class EasyHandle {
 public:
  EasyHandle();
  ~EasyHandle();
  EasyHandle(const EasyHandle&) = delete;
  EasyHandle& operator=(const EasyHandle&) = delete;
  // Null when the handle could not be created.
  CURL* get() const { return handle_; }

 private:
  CURL* handle_;
};

// One share handle: what the easy handles attached to it hold in common.
class ShareHandle {
 public:
  ShareHandle();
  ~ShareHandle();
  ShareHandle(const ShareHandle&) = delete;
  ShareHandle& operator=(const ShareHandle&) = delete;
  CURLSH* get() const { return handle_; }

 private:
  CURLSH* handle_;
};

// A list of texts as curl takes and gives them (header lines, cookie lines); a line that
// cannot be added is left out.
class TextList {
 public:
  TextList() = default;
  explicit TextList(curl_slist* list) : list_(list) {}  // takes over a list curl handed out
  ~TextList();
  TextList(const TextList&) = delete;
  TextList& operator=(const TextList&) = delete;
  void add(const std::string& line);
  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// One parsed address.
class UrlHandle {
 public:
  UrlHandle();
  ~UrlHandle();
  UrlHandle(const UrlHandle&) = delete;
  UrlHandle& operator=(const UrlHandle&) = delete;
  CURLU* get() const { return handle_; }
  // One part of the address, or the empty text when it has none.
  std::string part(CURLUPart which, unsigned flags = 0) const;

 private:
  CURLU* handle_;
};

}  // namespace af
