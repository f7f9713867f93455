// Starts a program the way Windows web servers start a FastCGI responder or
// a CGI program, for tests/servers/fastcgi_cases.py to talk to under Wine.
//
//   fcgi_pipe_host serve PROGRAM [ARGS...]
//     As IIS starts a responder: a new named pipe (two-way, one instance),
//     its listening end as the program's standard input, standard output
//     and error closed, and an inheritable event named in
//     _FCGI_SHUTDOWN_EVENT_. Prints "ready PORT PID": each TCP connection to
//     127.0.0.1:PORT is bridged to a new client connection of the pipe.
//     Reads commands on standard input: "stop" sets the event; when the
//     program ends it prints "exited CODE". End of input ends the program.
//
//   fcgi_pipe_host listen PIPE PROGRAM [ARGS...]
//     The same with CGIECHO_LISTEN=PIPE: the program makes the pipe itself
//     (its standard input and standard error are this program's).
//
//   fcgi_pipe_host event PROGRAM [ARGS...]
//     The program with this program's standard handles and environment
//     (CGIECHO_LISTEN on TCP, set by the caller) and the shutdown event as
//     for serve: prints "ready 0 PID", then takes the same commands.
//
//   fcgi_pipe_host cgi STDIN STDOUT PROGRAM [ARGS...]
//     As a web server starts a CGI program, with standard input STDIN
//     (anonymous, file, nul, none, null, client, inbound: see start_cgi)
//     holding what this program reads from its own standard input, and
//     standard output STDOUT (pipe, closed, null). Writes what the program
//     wrote, then ends with the program's exit code (99: still running
//     after 20 seconds).
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

std::string g_pipe_name;

std::string command_line(int argc, char** argv, int first) {
  std::string line;
  for (int i = first; i < argc; ++i) {
    if (!line.empty()) line += ' ';
    const bool quote = std::strpbrk(argv[i], " \t") != nullptr;
    line += quote ? "\"" + std::string(argv[i]) + "\"" : std::string(argv[i]);
  }
  return line;
}

void say(const std::string& line) {
  DWORD put = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
}

std::string read_all(HANDLE from) {
  std::string all;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(from, buffer, sizeof buffer, &got, nullptr) && got > 0) all.append(buffer, got);
  return all;
}

bool write_all(HANDLE to, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD put = 0;
    if (!WriteFile(to, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &put, nullptr)) return false;
    done += put;
  }
  return true;
}

HANDLE inheritable(HANDLE h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return h;
}

PROCESS_INFORMATION start(int argc, char** argv, int first, HANDLE in, HANDLE out, HANDLE err) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = err;
  std::string line = command_line(argc, argv, first);
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(argv[first], line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "cannot start %s: %lu\n", argv[first], GetLastError());
    ExitProcess(98);
  }
  return process;
}

// One TCP client bridged to one client connection of the pipe. The client
// ending its side (or going away) closes the pipe connection, after a grace
// period in which the responder may answer and close first, as it must for
// bytes that are not FastCGI records.
void bridge(SOCKET client) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int tries = 0; tries < 100 && pipe == INVALID_HANDLE_VALUE; ++tries) {
    pipe = CreateFileA(g_pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && !WaitNamedPipeA(g_pipe_name.c_str(), 200)) Sleep(50);
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    closesocket(client);
    return;
  }
  HANDLE answered = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread back([&] {
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      if (send(client, buffer, static_cast<int>(got), 0) != static_cast<int>(got)) break;
    }
    shutdown(client, SD_BOTH);
    SetEvent(answered);
  });
  char buffer[65536];
  for (;;) {
    const int got = recv(client, buffer, sizeof buffer, 0);
    if (got <= 0) {
      if (got == 0) WaitForSingleObject(answered, 2000);
      break;
    }
    if (!write_all(pipe, std::string(buffer, static_cast<std::size_t>(got)))) break;
  }
  CloseHandle(pipe);  // the responder's read fails: the client is gone
  back.join();
  closesocket(client);
  CloseHandle(answered);
}

int take_commands(const PROCESS_INFORMATION& child, HANDLE stop);

// `pipe`: the name of the pipe the program makes itself (CGIECHO_LISTEN);
// empty: a pipe made here and handed over.
int serve(int argc, char** argv, int first, const char* pipe) {
  SECURITY_ATTRIBUTES shared{sizeof shared, nullptr, TRUE};
  HANDLE stop = CreateEventA(&shared, TRUE, FALSE, nullptr);
  if (stop == nullptr) return 97;
  SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_", std::to_string(reinterpret_cast<ULONG_PTR>(stop)).c_str());
  PROCESS_INFORMATION child{};
  if (pipe != nullptr) {
    g_pipe_name = pipe;
    SetEnvironmentVariableA("CGIECHO_LISTEN", pipe);
    child = start(argc, argv, first, GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE),
                  GetStdHandle(STD_ERROR_HANDLE));
    for (int tries = 0; tries < 200 && !WaitNamedPipeA(pipe, 50); ++tries) Sleep(50);
  } else {
    g_pipe_name = "\\\\.\\pipe\\cgiecho-test-" + std::to_string(GetCurrentProcessId());
    HANDLE listener = CreateNamedPipeA(g_pipe_name.c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (listener == INVALID_HANDLE_VALUE) return 97;
    child = start(argc, argv, first, inheritable(listener), INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE);
    CloseHandle(listener);
  }

  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (bind(server, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(server, 16) != 0 ||
      getsockname(server, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    TerminateProcess(child.hProcess, 96);
    return 96;
  }
  say("ready " + std::to_string(ntohs(address.sin_port)) + " " + std::to_string(child.dwProcessId) + "\n");
  std::thread([server] {
    for (;;) {
      SOCKET client = accept(server, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::thread(bridge, client).detach();
    }
  }).detach();
  return take_commands(child, stop);
}

int with_event(int argc, char** argv) {
  SECURITY_ATTRIBUTES shared{sizeof shared, nullptr, TRUE};
  HANDLE stop = CreateEventA(&shared, TRUE, FALSE, nullptr);
  if (stop == nullptr) return 97;
  SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_", std::to_string(reinterpret_cast<ULONG_PTR>(stop)).c_str());
  PROCESS_INFORMATION child = start(argc, argv, 2, GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE),
                                    GetStdHandle(STD_ERROR_HANDLE));
  say("ready 0 " + std::to_string(child.dwProcessId) + "\n");
  return take_commands(child, stop);
}

// Says when `child` ends; "stop" on standard input sets `stop`; the end of
// input ends the child.
int take_commands(const PROCESS_INFORMATION& child, HANDLE stop) {
  std::thread([process = child.hProcess] {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    say("exited " + std::to_string(code) + "\n");
  }).detach();

  std::string command;
  char c = 0;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &c, 1, &got, nullptr) && got == 1) {
    if (c != '\n') {
      command += c;
      continue;
    }
    if (command == "stop") SetEvent(stop);
    command.clear();
  }
  TerminateProcess(child.hProcess, 95);
  WaitForSingleObject(child.hProcess, 5000);
  return 0;
}

// The standard input of a CGI start, holding `body`:
//   anonymous  the read end of an anonymous pipe (what most servers use)
//   file       a file
//   nul        the NUL device
//   none       INVALID_HANDLE_VALUE, null: a null handle (no input at all)
//   client     the client end of a two-way named pipe
//   inbound    the server end of a one-way named pipe (how some servers
//              make the pipes of a CGI program)
HANDLE cgi_input(const std::string& kind, const std::string& body, std::thread& feeder) {
  auto feed = [&](HANDLE writer) {
    feeder = std::thread([writer, body] {
      write_all(writer, body);
      CloseHandle(writer);
    });
  };
  SECURITY_ATTRIBUTES shared{sizeof shared, nullptr, TRUE};
  if (kind == "anonymous") {
    HANDLE read = nullptr, write = nullptr;
    CreatePipe(&read, &write, &shared, 0);
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);
    feed(write);
    return read;
  }
  if (kind == "file") {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    GetTempFileNameA(folder, "cge", 0, path);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &shared, CREATE_ALWAYS,
                              FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    write_all(file, body);
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    return file;
  }
  if (kind == "nul") {
    return CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &shared, OPEN_EXISTING, 0, nullptr);
  }
  if (kind == "none") return INVALID_HANDLE_VALUE;
  if (kind == "null") return nullptr;
  const std::string name = "\\\\.\\pipe\\cgiecho-cgi-" + std::to_string(GetCurrentProcessId());
  if (kind == "client") {
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                     nullptr);
    HANDLE client = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &shared, OPEN_EXISTING, 0, nullptr);
    feed(server);
    return client;
  }
  if (kind == "inbound") {
    HANDLE server = CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096,
                                     0, &shared);
    HANDLE client = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    feed(client);
    return server;
  }
  std::fprintf(stderr, "unknown standard input: %s\n", kind.c_str());
  ExitProcess(2);
}

int cgi(int argc, char** argv) {
  const std::string body = read_all(GetStdHandle(STD_INPUT_HANDLE));
  std::thread feeder;
  HANDLE in = cgi_input(argv[2], body, feeder);
  const std::string out_kind = argv[3];
  HANDLE read = nullptr, out = INVALID_HANDLE_VALUE;
  if (out_kind == "pipe") {
    SECURITY_ATTRIBUTES shared{sizeof shared, nullptr, TRUE};
    CreatePipe(&read, &out, &shared, 0);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  } else if (out_kind == "null") {
    out = nullptr;
  }
  PROCESS_INFORMATION child = start(argc, argv, 4, in, out, out);
  if (in != nullptr && in != INVALID_HANDLE_VALUE) CloseHandle(in);
  std::string written;
  if (read != nullptr) {
    CloseHandle(out);
    std::thread reader([&] { written = read_all(read); });
    const bool ended = WaitForSingleObject(child.hProcess, 20000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(child.hProcess, 99);
    reader.join();
  } else if (WaitForSingleObject(child.hProcess, 20000) != WAIT_OBJECT_0) {
    TerminateProcess(child.hProcess, 99);
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  if (feeder.joinable()) feeder.detach();  // a program that reads nothing leaves the writer waiting
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  write_all(GetStdHandle(STD_OUTPUT_HANDLE), written);
  return static_cast<int>(code);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "serve") == 0) return serve(argc, argv, 2, nullptr);
  if (argc >= 4 && std::strcmp(argv[1], "listen") == 0) return serve(argc, argv, 3, argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "event") == 0) return with_event(argc, argv);
  if (argc >= 5 && std::strcmp(argv[1], "cgi") == 0) ExitProcess(static_cast<UINT>(cgi(argc, argv)));
  std::fprintf(stderr, "usage: fcgi_pipe_host serve PROGRAM [ARGS...]\n"
                       "       fcgi_pipe_host listen PIPE PROGRAM [ARGS...]\n"
                       "       fcgi_pipe_host event PROGRAM [ARGS...]\n"
                       "       fcgi_pipe_host cgi STDIN STDOUT PROGRAM [ARGS...]\n");
  return 2;
}
