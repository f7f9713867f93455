/// @file
/// The program as a process that starts itself again, or drops to a
/// user: what it was started with, and the descriptors it must not hand on.
/// POSIX (platform_posix.cpp, listener_posix.cpp).
#pragma once

#include <string>
#include <vector>

namespace cgiecho::platform {

/// POSIX: closes every descriptor above standard error, for a responder
/// about to become another user: one that whoever started it as root left
/// open (a shell's `9<file`) would stay open to that user and to every
/// program its handlers start.
void close_other_descriptors();

/// POSIX: the program as it was started, for starting it again: the
/// arguments it was given, and the path of argv[0] made absolute when the
/// process started (against the folder it started in, or along PATH for a
/// bare name, as a shell found it), so that a file replaced since, or a
/// symbolic link switched, is what starts next. "" when it cannot be found.
/// @{
std::vector<std::string> start_arguments();
std::string start_program_path();
/// @}

}  // namespace cgiecho::platform
