// Everything the program asks of the operating system. One implementation
// per platform (platform_posix.cpp, platform_win32.cpp) and a fake for tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cgiecho::platform {

// The value of an environment variable, whole; "" when unset. The name is
// taken up to its first NUL, as the operating system sees names.
std::string env(std::string_view name);

// The command line after the program's name (see command_tail.h).
std::string command_tail();

// One read of at most `count` bytes from standard input into `buffer`.
// Returns the bytes read; 0 at end of input, on failure or without stdin.
std::size_t read_stdin(char* buffer, std::size_t count);

// Puts all the bytes on standard output as one write, best effort: a
// failure is not reported and the caller carries on.
void write_stdout(std::string_view bytes);

// String handles as callers of the exported routines allocate them.
// alloc_handle returns null when memory is short; free_handle takes null.
void* alloc_handle(const char* data, std::uint32_t length);
void free_handle(void* handle);
std::uint32_t handle_length(const void* handle);

// Vectors of string handles, lower bound 1, as the pair array of the form
// field routines. new_handle_array gives `count` null elements, or null
// when memory is short; destroy_handle_array releases the elements too.
void* new_handle_array(std::uint32_t count);
void** handle_array_slots(void* array);
void destroy_handle_array(void* array);

// Process start-up for the echo program: false when the per-thread state
// cannot be set up (the program then ends with 255 and writes nothing).
bool start_process();
[[noreturn]] void end_process(int exit_code);

}  // namespace cgiecho::platform
