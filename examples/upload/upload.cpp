// A small file drop on the cgiecho web layer, as a CGI program or a FastCGI
// responder. A GET shows a form (text fields, a multi-select, files) and
// what this browser has sent so far; a POST keeps each file in the folder
// the program's own environment names (CGIECHO_UPLOAD_DIR: the server
// configuration's, never a request's), under a name of the program's own
// and never the client's filename, and answers "303 See
// Other" back to that page, so that reloading it never sends the form again.
//
// Which uploads are whose: a cookie holds a random id, and every POST
// writes one small record file, <id>-<n>.drop, beside the files it kept.
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/codec/url_codec.h>
#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/limits.h>
#include <cgiecho/web/request.h>
#include <cgiecho/web/response.h>

namespace web = cgiecho::web;
namespace platform = cgiecho::platform;

namespace {

constexpr std::string_view kFolderVariable = "CGIECHO_UPLOAD_DIR";
constexpr std::string_view kCookie = "drop_id";
constexpr std::size_t kIdBytes = 16;                     // 128 random bits, 32 hex digits
constexpr int kMaxDrops = 1000;                          // records per browser
constexpr std::uint64_t kMaxRecord = std::uint64_t{64} << 20;  // one record read back

// What arrived in one field: a text field's value, or a kept file.
struct Item {
  bool is_file = false;
  std::string name;
  std::string value;
  std::string filename;
  bool has_type = false;
  std::string content_type;
  std::uint64_t size = 0;
  std::string stored;  // the file's name in the folder
};

std::string hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : bytes) out += {kHex[b >> 4], kHex[b & 15]};
  return out;
}

// A fresh random id, or "" when the system has no random bytes to give.
std::string random_id() {
  char raw[kIdBytes];
  return platform::random_bytes(raw, sizeof raw) ? hex(std::string_view(raw, sizeof raw)) : std::string();
}

// Only an id this program could have made names files: the cookie comes
// from the client, and anything else in it could reach outside the folder.
bool valid_id(std::string_view id) {
  if (id.size() != 2 * kIdBytes) return false;
  for (const char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

// A url-encoded field's bytes decoded; a multipart text part's as they are.
std::string decoded(std::string_view raw, bool encoded = true) {
  if (!encoded) return std::string(raw);
  web::result<std::string> out = web::form_decode(raw);
  if (!out) throw std::bad_alloc();
  return std::move(*out);
}

// One line per item, each value URL-encoded so that no byte of it (a
// blank, a line break, a NUL) can break the line apart.
std::string record_of(const std::vector<Item>& items) {
  std::string out;
  for (const Item& i : items) {
    if (i.is_file) {
      out += "F " + cgiecho::url_encode(i.name) + ' ' + cgiecho::url_encode(i.filename) + ' ' +
             (i.has_type ? "1 " : "0 ") + cgiecho::url_encode(i.content_type) + ' ' + std::to_string(i.size) +
             ' ' + i.stored + '\n';
    } else {
      out += "T " + cgiecho::url_encode(i.name) + ' ' + cgiecho::url_encode(i.value) + '\n';
    }
  }
  return out;
}

std::vector<Item> items_of(std::string_view record) {
  std::vector<Item> items;
  while (!record.empty()) {
    const std::size_t end = record.find('\n');
    std::string_view line = record.substr(0, end);
    record = end == std::string_view::npos ? std::string_view() : record.substr(end + 1);
    std::vector<std::string_view> words;
    for (std::size_t at = 0;;) {
      const std::size_t blank = line.find(' ', at);
      words.push_back(line.substr(at, blank - at));
      if (blank == std::string_view::npos) break;
      at = blank + 1;
    }
    Item item;
    if (words.size() == 3 && words[0] == "T") {
      item.name = decoded(words[1]);
      item.value = decoded(words[2]);
    } else if (words.size() == 7 && words[0] == "F") {
      item.is_file = true;
      item.name = decoded(words[1]);
      item.filename = decoded(words[2]);
      item.has_type = words[3] == "1";
      item.content_type = decoded(words[4]);
      if (!web::parse_plain_decimal(words[5], item.size)) continue;
      item.stored = words[6];
    } else {
      continue;  // not a line this program writes
    }
    items.push_back(std::move(item));
  }
  return items;
}

std::string escaped(std::string_view text) { return web::html_escape(text); }

std::string html_page(std::string_view title, std::string_view body) {
  std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
  out += title;
  out +=
      "</title>\n<style>\n"
      "  body { font-family: sans-serif; max-width: 52em; margin: 2em auto; color: #222; }\n"
      "  table { border-collapse: collapse; margin: 0.5em 0 1.5em; }\n"
      "  td, th { border: 1px solid #bbb; padding: 0.2em 0.6em; text-align: left; }\n"
      "  label { display: block; margin: 0.6em 0 0.2em; }\n"
      "</style>\n</head>\n<body>\n";
  out += body;
  out += "</body>\n</html>\n";
  return out;
}

// `request` is null when the request itself was refused: a head that
// cannot know HEAD.
void answer_failure(const web::Request* request, int status, std::string_view what) {
  web::Response response = request != nullptr ? web::Response(*request) : web::Response();
  // A status from http_status or this file: always one the call takes.
  (void)response.status(status);
  (void)response.send(html_page("Upload failed", "<h1>Upload failed</h1>\n<p>" + escaped(what) + "</p>\n"));
}

std::string drop_name(std::string_view id, int n) { return std::string(id) + '-' + std::to_string(n) + ".drop"; }

std::string drop_path(std::string_view folder, std::string_view id, int n) {
  return std::string(folder) + '/' + drop_name(id, n);
}

// The page the form posts to and the redirect returns to: the form, and
// this browser's drops, newest first. Every byte a client sent is escaped.
void answer_page(const web::Request& request, std::string_view folder, std::string_view id) {
  std::vector<std::vector<Item>> drops;
  for (int n = 1; n <= kMaxDrops && valid_id(id); ++n) {
    std::string record;
    const platform::FileRead got = platform::read_file(drop_path(folder, id, n), kMaxRecord, record);
    if (got == platform::FileRead::missing) break;
    if (got == platform::FileRead::failed)
      return answer_failure(&request, 500, "A record in the upload folder cannot be read.");
    drops.push_back(items_of(record));
  }

  std::string body = "<h1>File drop</h1>\n";
  body += "<form method=\"post\" enctype=\"multipart/form-data\" action=\"" +
          escaped(request.script_name()) + "\">\n";
  body +=
      "<label for=\"title\">Title</label>\n<input type=\"text\" id=\"title\" name=\"title\">\n"
      "<label for=\"note\">Note</label>\n<textarea id=\"note\" name=\"note\" rows=\"3\"></textarea>\n"
      "<label for=\"tags\">Tags</label>\n<select id=\"tags\" name=\"tags\" multiple>\n"
      "<option>photos</option>\n<option>papers</option>\n<option>music</option>\n<option>other</option>\n"
      "</select>\n"
      "<label for=\"files\">Files</label>\n<input type=\"file\" id=\"files\" name=\"files\" multiple>\n"
      "<label for=\"extra\">One more file</label>\n<input type=\"file\" id=\"extra\" name=\"extra\">\n"
      "<p><button type=\"submit\">Send</button></p>\n</form>\n";
  body += "<h2>What arrived from this browser</h2>\n";
  if (drops.empty()) body += "<p id=\"none\">Nothing yet.</p>\n";
  for (std::size_t d = drops.size(); d-- > 0;) {
    body += "<section class=\"drop\" id=\"drop-" + std::to_string(d + 1) + "\">\n<h3>Drop " +
            std::to_string(d + 1) + "</h3>\n<table class=\"fields\">\n<tr><th>field</th><th>value</th></tr>\n";
    for (const Item& i : drops[d])
      if (!i.is_file) body += "<tr><td>" + escaped(i.name) + "</td><td>" + escaped(i.value) + "</td></tr>\n";
    body +=
        "</table>\n<table class=\"files\">\n"
        "<tr><th>field</th><th>filename</th><th>type</th><th>size</th><th>kept as</th></tr>\n";
    for (const Item& i : drops[d]) {
      if (!i.is_file) continue;
      body += "<tr><td>" + escaped(i.name) + "</td><td>" + escaped(i.filename) + "</td><td>" +
              (i.has_type ? escaped(i.content_type) : std::string()) + "</td><td>" + std::to_string(i.size) +
              "</td><td>" + escaped(i.stored) + "</td></tr>\n";
    }
    body += "</table>\n</section>\n";
  }
  web::Response response(request);  // HEAD: the header block alone
  (void)response.send(html_page("File drop", body));  // a reader that went away needs no answer
}

// The answer to a POST is a client redirect to request.self_url(): a
// local redirect (a path alone) has the server answer the path within the
// same POST, so the browser would stay on the POST, a reload would send
// the form again, and Location would have to be the only header, leaving
// no room for the cookie.
void answer_post(const web::Request& request, std::string_view folder, std::string id) {
  if (request.get("SERVER_NAME").empty())
    return answer_failure(&request, 500, "The server passed no SERVER_NAME to redirect to.");
  const bool new_browser = !valid_id(id);
  if (new_browser && (id = random_id()).empty())
    return answer_failure(&request, 500, "The system gave no random bytes for an id.");

  std::vector<Item> items;
  for (const web::Field& f : request.raw_form()) {
    Item& i = items.emplace_back();
    i.name = decoded(f.raw_name, f.encoded);
    i.value = decoded(f.raw_value, f.encoded);
  }
  for (const web::UploadedFile& file : request.uploads()) {
    // A file input left empty still sends a part, without a filename.
    if (file.filename().empty() && file.size() == 0) continue;
    Item i;
    i.is_file = true;
    i.name = file.name();
    i.filename = file.filename();
    i.has_type = file.has_content_type();
    i.content_type = file.content_type();
    i.size = file.size();
    i.stored = random_id();
    if (i.stored.empty()) return answer_failure(&request, 500, "The system gave no random bytes for a file name.");
    i.stored += ".upload";
    // Made inside the folder as it is opened now: nothing checked
    // beforehand can have changed since.
    if (const auto kept = file.keep_in(folder, i.stored); !kept)
      return answer_failure(&request, 500, "A file could not be kept in the upload folder (CGIECHO_UPLOAD_DIR): " +
                                               kept.error().system().message() + ".");
    items.push_back(std::move(i));
  }

  // The first free number names the record; creating it never replaces
  // one, so two posts at once each get their own.
  const std::string record = record_of(items);
  bool written = false;
  for (int n = 1; n <= kMaxDrops && !written; ++n) {
    written = platform::write_new_file_in(folder, drop_name(id, n), record).ok();
    std::string ignored;
    if (!written && platform::read_file(drop_path(folder, id, n), 0, ignored) == platform::FileRead::missing)
      return answer_failure(&request, 500, "The upload folder cannot be written.");
  }
  if (!written) return answer_failure(&request, 507, "This browser's list is full.");

  // Secure when the request came over HTTPS or to localhost: over plain
  // HTTP to another host a browser would drop a Secure cookie.
  web::Response response(request);
  if (new_browser) {
    auto cookie = web::SetCookie(kCookie, id).path(request.script_name()).max_age(365 * 24 * 3600);
    if (!response.set_cookie(cookie)) {
      // A script name no cookie path can hold: the whole site.
      if (!response.set_cookie(cookie.path("")))
        return answer_failure(&request, 500, "The cookie could not be set.");
    }
  }
  if (!response.redirect(request.self_url(), 303))
    return answer_failure(&request, 500, "The server's name and port make no address to redirect to.");
  (void)response.send();
}

void answer() {
  // The request is read before any answer, refusals included: some servers
  // pass an answer on only once the body they are writing has been taken.
  // The limits are the server's (CGIECHO_MAX_* and the rest).
  const auto request = web::Request::current();
  if (!request) {
    const web::error& e = request.error();
    return answer_failure(nullptr, e.status(), e.message() + " (" + std::string(e.code_name()) + ")");
  }
  // The process's own setting: under FastCGI a request's parameters
  // never choose where files go.
  const std::string folder = platform::process_env(kFolderVariable);
  if (folder.empty()) return answer_failure(&*request, 500, "No upload folder is configured (CGIECHO_UPLOAD_DIR).");

  const std::string_view method = request->method();
  if (method != "GET" && method != "HEAD" && method != "POST") {
    web::Response response(*request);
    (void)response.status(405);
    (void)response.header("Allow", "GET, HEAD, POST");
    (void)response.send(html_page("Method not allowed", "<p>This page takes GET and POST.</p>\n"));
    return;
  }
  const std::string id = request->cookie(kCookie).value_or("");
  if (method == "POST") return answer_post(*request, folder, id);
  answer_page(*request, folder, id);
}

}  // namespace

int main() {
  if (!platform::start_process()) platform::end_process(255);
  cgiecho::serve(answer);
  platform::end_process(0);
}
