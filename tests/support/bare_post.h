// The yardstick of the benchmarks: what posting the same bytes costs a
// caller of libcurl alone, on a new handle and connection each time.
#pragma once

#include <curl/curl.h>

#include <string>
#include <vector>

namespace bench {

inline size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// POSTs body to url with the given header lines, "Expect:" emptied so a
// large body is not held back for a 100-continue; the answer is dropped.
inline bool barePost(const std::string& url, const std::string& body,
                     const std::vector<std::string>& headers = {}) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return false;
  curl_slist* list = curl_slist_append(nullptr, "Expect:");
  for (const std::string& line : headers) list = curl_slist_append(list, line.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discard);
  const CURLcode rc = curl_easy_perform(curl);
  curl_slist_free_all(list);
  curl_easy_cleanup(curl);
  return rc == CURLE_OK;
}

}  // namespace bench
