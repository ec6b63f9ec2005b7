#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>

#ifdef _WIN32
#include "TestWindows.h"

#include <algorithm>
#include <mutex>

#include "common/QORTextConvert.h"
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace qortest {
namespace {

std::map<std::string, ChildEntry>& Registry() {
  static std::map<std::string, ChildEntry> registry;
  return registry;
}

}  // namespace

ChildRegistration::ChildRegistration(const char* name, ChildEntry entry) {
  Registry()[name] = entry;
}

int RunChildEntry(const std::string& name, const std::vector<std::string>& args) {
  auto it = Registry().find(name);
  if (it == Registry().end()) {
    std::fprintf(stderr, "unknown child entry %s\n", name.c_str());
    return 127;
  }
  return it->second(args);
}

void ChildSay(const std::string& line) {
  std::cout << line << std::endl;
}

bool ChildHear(std::string& line) {
  return static_cast<bool>(std::getline(std::cin, line));
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    Kill(SIGKILL);
    Wait();
  }
  CloseFds();
}

bool ChildProcess::ReadLine(std::string& line, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const auto newline = pending_.find('\n');
    if (newline != std::string::npos) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      // A child on Windows writes its lines in text mode.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
  }
}

bool ChildProcess::WaitFor(const std::string& expected, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string line;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !ReadLine(line, static_cast<int>(left.count()))) return false;
    if (line == expected) return true;
  }
}

#ifdef _WIN32

namespace {

void Close(void*& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

}  // namespace

void ChildProcess::CloseFds() {
  Close(toChild_);
  Close(fromChild_);
}

bool ChildProcess::Start(const std::string& name, const std::vector<std::string>& args) {
  std::wstring exe(MAX_PATH, L'\0');
  DWORD length;
  while ((length = GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()))) ==
         exe.size()) {
    exe.resize(exe.size() * 2);
  }
  if (length == 0) return false;
  exe.resize(length);
  std::wstring commandLine =
      QuoteArgument(exe) + L" --qor-child " + QuoteArgument(QORUtf8ToWide(name));
  for (const std::string& arg : args) commandLine += L" " + QuoteArgument(QORUtf8ToWide(arg));

  // Handles are inherited by whichever child starts while they are inheritable: one start at a
  // time, so that no child keeps another's pipe open.
  static std::mutex starting;
  std::lock_guard<std::mutex> lock(starting);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE childIn = nullptr;
  HANDLE toChild = nullptr;
  HANDLE fromChild = nullptr;
  HANDLE childOut = nullptr;
  HANDLE childErr = nullptr;
  bool ready = CreatePipe(&childIn, &toChild, &inheritable, 0) &&
               CreatePipe(&fromChild, &childOut, &inheritable, 0) &&
               SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0) &&
               SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
  // The child's errors go where ours do.
  HANDLE ourErr = GetStdHandle(STD_ERROR_HANDLE);
  if (ready && ourErr != nullptr && ourErr != INVALID_HANDLE_VALUE) {
    DuplicateHandle(GetCurrentProcess(), ourErr, GetCurrentProcess(), &childErr, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = childIn;
  startup.hStdOutput = childOut;
  startup.hStdError = childErr;
  PROCESS_INFORMATION process{};
  ready = ready && CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &process);
  for (HANDLE handle : {childIn, childOut, childErr}) {
    if (handle != nullptr) CloseHandle(handle);
  }
  if (!ready) {
    for (HANDLE handle : {toChild, fromChild}) {
      if (handle != nullptr) CloseHandle(handle);
    }
    return false;
  }
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  pid_ = static_cast<int>(process.dwProcessId);
  toChild_ = toChild;
  fromChild_ = fromChild;
  return true;
}

bool ChildProcess::ReadSome(int timeoutMs) {
  // Anonymous pipes have no overlapped reads: look for bytes until some come or time is up.
  if (fromChild_ == nullptr) return false;
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(fromChild_, nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
      char buffer[512];
      DWORD got = 0;
      if (!ReadFile(fromChild_, buffer, std::min<DWORD>(available, sizeof(buffer)), &got,
                    nullptr) ||
          got == 0) {
        return false;
      }
      pending_.append(buffer, got);
      return true;
    }
    if (GetTickCount64() >= deadline) return true;
    Sleep(1);
  }
}

bool ChildProcess::SendLine(const std::string& line) {
  if (toChild_ == nullptr) return false;
  const std::string text = line + "\n";
  DWORD written = 0;
  return WriteFile(toChild_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

bool ChildProcess::Kill(int signal) {
  if (process_ == nullptr) return false;
  if (signal == SIGSTOP || signal == SIGCONT) {
    // The whole process, as a signal would: ntdll's calls, which kernel32 does not wrap.
    using Call = LONG(WINAPI*)(HANDLE);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void*>(
        GetProcAddress(ntdll, signal == SIGSTOP ? "NtSuspendProcess" : "NtResumeProcess")));
    return call != nullptr && call(process_) >= 0;
  }
  return TerminateProcess(process_, 128 + static_cast<UINT>(signal));
}

int ChildProcess::Wait() {
  if (process_ == nullptr) return -1;
  DWORD code = 0;
  const bool ended = WaitForSingleObject(process_, INFINITE) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process_, &code);
  Close(process_);
  pid_ = -1;
  return ended ? static_cast<int>(code) : -1;
}

#else

void ChildProcess::CloseFds() {
  if (toChild_ >= 0) ::close(toChild_);
  if (fromChild_ >= 0) ::close(fromChild_);
  toChild_ = fromChild_ = -1;
}

bool ChildProcess::Start(const std::string& name, const std::vector<std::string>& args) {
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

  std::vector<std::string> words = {"/proc/self/exe", "--qor-child", name};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (error != 0) {
    ::close(in[1]);
    ::close(out[0]);
    return false;
  }
  pid_ = pid;
  toChild_ = in[1];
  fromChild_ = out[0];
  return true;
}

bool ChildProcess::ReadSome(int timeoutMs) {
  if (fromChild_ < 0) return false;
  pollfd fd{fromChild_, POLLIN, 0};
  if (::poll(&fd, 1, timeoutMs) <= 0) return true;
  char buffer[512];
  const ssize_t n = ::read(fromChild_, buffer, sizeof(buffer));
  if (n <= 0) return false;
  pending_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::SendLine(const std::string& line) {
  if (toChild_ < 0) return false;
  const std::string text = line + "\n";
  return ::write(toChild_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool ChildProcess::Kill(int signal) {
  return pid_ > 0 && ::kill(pid_, signal) == 0;
}

int ChildProcess::Wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  pid_t result;
  do {
    result = ::waitpid(pid_, &status, 0);
  } while (result < 0 && errno == EINTR);
  pid_ = -1;
  if (result < 0) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

#endif

}  // namespace qortest
