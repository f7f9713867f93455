// A FastCGI responder's listener as Windows web servers hand it over: the
// listening end of a named pipe on standard input.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <cgiecho/platform/platform.h>

#include "platform/listener.h"
#include "platform/owner_only_win32.h"
#include "text/ascii.h"

namespace cgiecho::platform {
namespace {

// What NtQueryInformationFile tells of a pipe (FilePipeLocalInformation):
// the one query that says both which end a handle is and which ways the
// pipe carries data. kernel32 tells only the end.
struct PipeLocalInformation {
  ULONG type, configuration, maximum_instances, current_instances, inbound_quota,
      read_data_available, outbound_quota, write_quota_available, state, end;
};
struct IoStatus {
  ULONG_PTR status_or_pointer;
  ULONG_PTR information;
};
constexpr int kFilePipeLocalInformation = 24;
constexpr ULONG kFullDuplex = 2;
constexpr ULONG kServerEnd = 1;

HANDLE g_stop_event = nullptr;

}  // namespace
}  // namespace cgiecho::platform

// ntdll's, declared here: mingw's winternl.h lacks the information class.
extern "C" __declspec(dllimport) LONG WINAPI NtQueryInformationFile(HANDLE file, void* status, void* information,
                                                                     ULONG length, int information_class);

namespace cgiecho::platform {

bool stdin_is_pipe_listener() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE || GetFileType(in) != FILE_TYPE_PIPE) return false;
  PipeLocalInformation pipe{};
  IoStatus status{};
  if (NtQueryInformationFile(in, &status, &pipe, sizeof pipe, kFilePipeLocalInformation) < 0) return false;
  return pipe.end == kServerEnd && pipe.configuration == kFullDuplex;
}

std::string listen_on_pipe(const std::string& name) {
  // One instance, made by this process first: another program cannot make
  // a second one under the name and take its clients. Not inheritable, so
  // programs the responder starts do not hold the pipe open. Clients from
  // other machines are turned away, and on this one only the responder's
  // user may open it (the default DACL lets every user read): anyone who
  // can open it can send requests. A web server that runs as another user
  // starts the responder itself (a pipe on standard input) or reaches it
  // over TCP.
  OwnerOnly owner_only;
  if (!make_owner_only(owner_only)) return "the pipe's access list cannot be made";
  HANDLE pipe = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                 65536, 65536, 0, &owner_only.attributes);
  if (pipe == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_ACCESS_DENIED ? "the pipe exists already" : "the pipe cannot be made";
  }
  SetStdHandle(STD_INPUT_HANDLE, pipe);
  close_standard_output();
  return {};
}

void close_standard_output() {
  SetStdHandle(STD_OUTPUT_HANDLE, INVALID_HANDLE_VALUE);
  SetStdHandle(STD_ERROR_HANDLE, INVALID_HANDLE_VALUE);
}

bool take_stop_event() {
  constexpr char kName[] = "_FCGI_SHUTDOWN_EVENT_";
  char value[32];
  const DWORD got = GetEnvironmentVariableA(kName, value, sizeof value);
  // Gone from the process's own copy and from the C runtime's, which is
  // the one libfcgi reads.
  std::string unset = std::string(kName) + "=";
  _putenv(unset.c_str());
  SetEnvironmentVariableA(kName, nullptr);
  if (got == 0 || got >= sizeof value) return false;
  char* end = nullptr;
  const unsigned long long number = std::strtoull(value, &end, 10);
  if (end == value || *end != '\0' || number == 0) return false;
  g_stop_event = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(number));
  return true;
}

void wait_for_stop_event() {
  if (g_stop_event == nullptr || WaitForSingleObject(g_stop_event, INFINITE) == WAIT_FAILED) {
    // Not an event after all: nothing can ever ask this way.
    Sleep(INFINITE);
  }
}

std::string tcp_host_address(const std::string& host) {
  // As libfcgi reads the host: a dotted IPv4 address first, else the
  // first IPv4 address of the name.
  in_addr address{};
  address.s_addr = inet_addr(host.c_str());
  if (address.s_addr == INADDR_NONE) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
    if (found != nullptr) address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    if (found == nullptr) return {};
  }
  return std::string(reinterpret_cast<const char*>(&address), sizeof address);
}

}  // namespace cgiecho::platform
