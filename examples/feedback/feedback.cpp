// A feedback form on the cgiecho web layer, as a CGI program or a FastCGI
// responder. GET shows the form, with the name filled in from the cookie the
// last submission set. A POST is checked as a whole, and every error goes
// back on one page (400), with the form as it was sent. A good submission is
// kept in the folder the server's configuration names (CGIECHO_FEEDBACK_DIR:
// the process's own environment, never the request's): its text in a small
// file, its attachment beside it, both under names of the program's own.
// The answer is "303 See Other" to the thank-you page, so that reloading it
// never sends the form again.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <cgiecho/platform/platform.h>
#include <cgiecho/serve/serve.h>
#include <cgiecho/web/errors.h>
#include <cgiecho/web/request.h>
#include <cgiecho/web/response.h>

namespace web = cgiecho::web;
namespace platform = cgiecho::platform;

namespace {

constexpr std::string_view kFolderVariable = "CGIECHO_FEEDBACK_DIR";
constexpr std::string_view kNameCookie = "feedback_name";
constexpr std::int64_t kCookieSeconds = 365 * 24 * 3600;
constexpr std::size_t kMaxTopics = 3;
constexpr std::uint64_t kMaxAttachment = 100 << 10;
constexpr std::string_view kTopics[] = {"website", "documentation", "bugs", "ideas", "other"};

// What the person wrote, to show the form again as it was.
struct Draft {
  std::string name;
  std::string email;
  std::vector<std::string> topics;
  std::string message;
};

// For whoever runs the server (its error log), never for the client.
void log(std::string_view line) {
  if (!platform::stderr_is_answer()) platform::say_on_stderr(line);
}

std::string html_page(std::string_view title, std::string_view body) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + std::string(title) +
         "</title>\n</head>\n<body>\n<h1>" + std::string(title) + "</h1>\n" + std::string(body) +
         "</body>\n</html>\n";
}

// Every answer but the redirect. A failed send means the reader went away:
// there is no one left to tell.
void send_page(web::Response& response, int status, std::string_view title, std::string_view body) {
  if (auto set = response.status(status); !set) log("status: " + set.error().message());
  if (auto sent = response.send(html_page(title, body)); !sent) log("answer: " + sent.error().message());
}

// The server's side went wrong: the client learns that much, the log why.
void send_failure(web::Response& response, std::string_view why) {
  log(why);
  send_page(response, 500, "Feedback not available", "<p>" + web::html_escape(why) + "</p>\n");
}

// Every value the client sent is escaped, in text and in attributes alike.
std::string form_html(const web::Request& request, const Draft& draft) {
  std::string out = "<form id=\"feedback\" method=\"post\" enctype=\"multipart/form-data\" action=\"" +
                    web::html_escape(request.script_name()) + "\">\n";
  out += "<p><label for=\"name\">Name</label>\n<input id=\"name\" name=\"name\" value=\"" +
         web::html_escape(draft.name) + "\"></p>\n";
  out += "<p><label for=\"email\">Email</label>\n<input id=\"email\" name=\"email\" type=\"email\" value=\"" +
         web::html_escape(draft.email) + "\"></p>\n";
  out += "<p><label for=\"topic\">Topics (at most 3)</label>\n<select id=\"topic\" name=\"topic\" multiple>\n";
  for (const std::string_view topic : kTopics) {
    bool picked = false;
    for (const std::string& t : draft.topics) picked = picked || t == topic;
    out += "<option" + std::string(picked ? " selected" : "") + ">" + std::string(topic) + "</option>\n";
  }
  out += "</select></p>\n";
  out += "<p><label for=\"message\">Message</label>\n<textarea id=\"message\" name=\"message\" rows=\"6\">" +
         web::html_escape(draft.message) + "</textarea></p>\n";
  out += "<p><label for=\"attachment\">Attachment (at most 100 KiB)</label>\n"
         "<input id=\"attachment\" name=\"attachment\" type=\"file\"></p>\n";
  out += "<p><button type=\"submit\">Send</button></p>\n</form>\n";
  return out;
}

void show_form(const web::Request& request, web::Response& response) {
  Draft draft;
  draft.name = request.cookie(kNameCookie).value_or("");
  std::string body;
  if (request.arg("thanks") == "1") body += "<p id=\"thanks\">Thank you for your feedback.</p>\n";
  send_page(response, 200, "Feedback", body + form_html(request, draft));
}

// A name no client chooses: 128 random bits in hex. Never the client's
// filename, which could name any path.
std::optional<std::string> random_name() {
  static constexpr char kHex[] = "0123456789abcdef";
  unsigned char raw[16];
  if (!platform::random_bytes(reinterpret_cast<char*>(raw), sizeof raw)) return std::nullopt;
  std::string out;
  for (const unsigned char b : raw) out += {kHex[b >> 4], kHex[b & 15]};
  return out;
}

// The submission as a small text file: one "key: value" line each, values
// URL-encoded so that no byte of them can break a line, then the message
// as sent.
std::string record_of(const Draft& d, const web::UploadedFile* file, std::string_view stored) {
  std::string out = "name: " + web::url_encode(d.name) + "\nemail: " + web::url_encode(d.email) + "\n";
  for (const std::string& t : d.topics) out += "topic: " + web::url_encode(t) + "\n";
  if (file != nullptr)
    out += "attachment: " + std::string(stored) + " " + std::to_string(file->size()) + " " +
           web::url_encode(file->filename()) + "\n";
  return out + "\n" + d.message;
}

void take_post(const web::Request& request, web::Response& response, const std::string& folder) {
  web::FormErrors errors;
  Draft draft;
  draft.name = request.field("name").value_or("");
  draft.email = request.field("email").value_or("");
  draft.topics = request.fields("topic");
  draft.message = request.field("message").value_or("");

  // The library's typed readers give a value or an error naming the
  // field; the program's own rules add theirs. Every one is listed.
  errors.take(request.required_field("name"));
  if (const auto email = errors.take(request.required_field("email")); email && email->find('@') == std::string::npos)
    errors.add("email", "an address has an \"@\" in it");
  if (draft.topics.size() > kMaxTopics) errors.add("topic", "pick at most 3");
  // A file input left empty still sends a part, with no filename and no data.
  const web::UploadedFile* file = request.file("attachment");
  if (file != nullptr && file->filename().empty() && file->size() == 0) file = nullptr;
  if (file != nullptr && file->size() > kMaxAttachment) errors.add("attachment", "a file of at most 100 KiB");

  if (!errors.empty()) {
    std::string body = "<ul id=\"errors\">\n";
    for (const web::error& e : errors.all()) body += "<li>" + web::html_escape(e.message()) + "</li>\n";
    body += "</ul>\n";
    return send_page(response, 400, "Please check the form", body + form_html(request, draft));
  }

  const std::optional<std::string> id = random_name();
  if (!id) return send_failure(response, "The system gave no random bytes to name the feedback's files.");
  const std::string stored = *id + ".attachment";
  // keep_in makes the file inside the folder as it is opened now, and
  // never replaces anything there.
  if (file != nullptr)
    if (auto kept = file->keep_in(folder, stored); !kept)
      return send_failure(response, "The attachment could not be kept in " + std::string(kFolderVariable) + ": " +
                                        kept.error().message());
  // The record comes last: it names only files that are there.
  if (!platform::write_new_file_in(folder, *id + ".feedback", record_of(draft, file, stored)).ok())
    return send_failure(response, "The feedback could not be written to " + std::string(kFolderVariable) + ".");

  // The cookie only fills the form in next time; an answer without it is
  // still right, so a cookie refused is logged, not answered with.
  const auto cookie =
      web::SetCookie(kNameCookie, draft.name).path(request.script_name()).max_age(kCookieSeconds);
  if (auto set = response.set_cookie(cookie); !set) log("cookie: " + set.error().message());
  if (auto moved = response.redirect(request.self_url() + "?thanks=1", 303); !moved)
    return send_failure(response, "The server's name and port make no address to send the browser to.");
  if (auto sent = response.send(); !sent) log("answer: " + sent.error().message());
}

void handle() {
  // The whole request is read and checked before any answer, refusals
  // included: some servers pass an answer on only once the body is taken.
  const web::result<web::Request> request = web::Request::current();
  if (!request) {
    web::Response response = web::Response::for_current();  // a refused HEAD gets no body either
    return send_page(response, request.error().status(), "Feedback not accepted",
                     "<p>" + web::html_escape(request.error().message()) + "</p>\n");
  }
  web::Response response(*request);  // a HEAD request gets the head alone

  const std::string_view method = request->method();
  if (method != "GET" && method != "HEAD" && method != "POST") {
    if (auto set = response.header("Allow", "GET, HEAD, POST"); !set) log("Allow: " + set.error().message());
    return send_page(response, 405, "Method not allowed", "<p>This page takes GET, HEAD and POST.</p>\n");
  }
  // The process's own setting: under FastCGI a request's parameters never
  // choose where files go.
  const std::string folder = platform::process_env(kFolderVariable);
  if (folder.empty()) return send_failure(response, "No feedback folder is configured (CGIECHO_FEEDBACK_DIR).");
  if (!platform::is_folder(folder))
    return send_failure(response, "The feedback folder (CGIECHO_FEEDBACK_DIR) is not a folder.");

  if (method == "POST") return take_post(*request, response, folder);
  show_form(*request, response);
}

}  // namespace

int main() {
  if (!platform::start_process()) platform::end_process(255);
  cgiecho::serve(handle);
  platform::end_process(0);
}
