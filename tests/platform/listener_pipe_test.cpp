// The named pipe CGIECHO_LISTEN makes on Windows, its security read back:
// only the responder's own user may open it (anyone who can open it can
// send requests). Wine keeps the descriptor but does not enforce it, so it
// is read, not tried.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/listener.h"

namespace {

// The process's user, as its token says.
std::string token_user() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  alignas(TOKEN_USER) unsigned char user[256];
  DWORD size = 0;
  const BOOL got = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
  CloseHandle(token);
  if (!got) return {};
  PSID sid = reinterpret_cast<TOKEN_USER*>(user)->User.Sid;
  return std::string(static_cast<const char*>(sid), GetLengthSid(sid));
}

TEST(ListenOnPipe, OnlyItsOwnerMayOpenIt) {
  // listen_on_pipe puts the pipe on standard input and closes standard
  // output and error, as a server hands a pipe over: the test's own are put
  // back.
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  const std::string name = "\\\\.\\pipe\\cgiecho-owner-only-" + std::to_string(GetCurrentProcessId());
  const std::string failed = cgiecho::platform::listen_on_pipe(name);
  HANDLE pipe = GetStdHandle(STD_INPUT_HANDLE);
  SetStdHandle(STD_INPUT_HANDLE, in);
  SetStdHandle(STD_OUTPUT_HANDLE, out);
  SetStdHandle(STD_ERROR_HANDLE, err);
  ASSERT_EQ(failed, "");

  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                            &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
  EXPECT_NE(control & SE_DACL_PROTECTED, 0) << "the DACL takes entries from elsewhere";
  ASSERT_NE(dacl, nullptr) << "no DACL: everyone may open the pipe";
  ASSERT_EQ(dacl->AceCount, 1);
  void* entry = nullptr;
  ASSERT_TRUE(GetAce(dacl, 0, &entry));
  const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
  EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
  EXPECT_EQ(ace->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
  const PSID sid = const_cast<DWORD*>(&ace->SidStart);
  EXPECT_EQ(std::string(static_cast<const char*>(sid), GetLengthSid(sid)), token_user());
  LocalFree(descriptor);
  CloseHandle(pipe);
}

}  // namespace
