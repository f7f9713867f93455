#include "request/state.h"

namespace cgiecho {

std::string& cgi_request_data() {
  static std::string data;
  return data;
}

bool& cgi_header_sent() {
  static bool sent = false;
  return sent;
}

void reset_process_state() {
  std::string().swap(cgi_request_data());  // releases the memory, not just the length
  cgi_header_sent() = false;
}

}  // namespace cgiecho
