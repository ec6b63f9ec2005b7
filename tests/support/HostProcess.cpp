#include "HostProcess.h"

#include <cerrno>
#include <chrono>
#include <thread>

#ifdef _WIN32
#include "TestWindows.h"

#include <map>
#include <mutex>

#include "common/QORTextConvert.h"
#include "platform/QORInterrupt.h"
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace qortest {

#ifdef _WIN32

namespace {

std::mutex gLock;
// The processes started and not yet reaped, by id.
std::map<pid_t, HANDLE> gProcesses;

HANDLE Created(const std::filesystem::path& path) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE Find(pid_t pid) {
  std::lock_guard<std::mutex> lock(gLock);
  const auto found = gProcesses.find(pid);
  return found == gProcesses.end() ? nullptr : found->second;
}

}  // namespace

pid_t HostProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                         const std::filesystem::path& out, const std::filesystem::path& err) {
  std::wstring commandLine;
  for (const std::string& arg : argv) {
    commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(QORUtf8ToWide(arg));
  }
  // Handles are inherited by whichever child starts while they are inheritable: one at a time.
  std::lock_guard<std::mutex> lock(gLock);
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  const HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inheritable, OPEN_EXISTING, 0, nullptr);
  const HANDLE output = Created(out);
  const HANDLE error = Created(err);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const std::wstring program = QORUtf8ToWide(argv.at(0));
  const bool started = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE &&
                       error != INVALID_HANDLE_VALUE &&
                       CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      0, nullptr, folder.c_str(), &startup, &process);
  for (const HANDLE handle : {input, output, error}) {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  if (!started) return 0;
  CloseHandle(process.hThread);
  const auto pid = static_cast<pid_t>(process.dwProcessId);
  gProcesses[pid] = process.hProcess;
  return pid;
}

std::optional<int> HostProcess::Wait(pid_t pid, int timeoutMs) {
  const HANDLE process = Find(pid);
  if (process == nullptr) return -1;
  if (WaitForSingleObject(process, timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs)) !=
      WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  const bool known = GetExitCodeProcess(process, &code);
  std::lock_guard<std::mutex> lock(gLock);
  gProcesses.erase(pid);
  CloseHandle(process);
  return known ? static_cast<int>(code) : -1;
}

bool HostProcess::Signal(pid_t pid, int signal) {
  if (signal == SIGKILL) {
    const HANDLE process = Find(pid);
    return process != nullptr && TerminateProcess(process, 128 + SIGKILL);
  }
  if (signal == SIGSTOP || signal == SIGCONT) {
    // The whole process, as a signal would: ntdll's calls, which kernel32 does not wrap.
    using Call = LONG(WINAPI*)(HANDLE);
    const HANDLE process = Find(pid);
    const auto call = reinterpret_cast<Call>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                       signal == SIGSTOP ? "NtSuspendProcess" : "NtResumeProcess")));
    return process != nullptr && call != nullptr && call(process) >= 0;
  }
  return QORInterrupt::Send(static_cast<uint32_t>(pid));
}

#else

pid_t HostProcess::Start(const std::vector<std::string>& argv, const std::filesystem::path& folder,
                         const std::filesystem::path& out, const std::filesystem::path& err) {
  std::vector<std::string> all = argv;
  std::vector<char*> words;
  for (std::string& arg : all) words.push_back(arg.data());
  words.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const auto& [fd, file] : {std::pair{1, out}, std::pair{2, err}}) {
    posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  }
  // In the test's own folder: whatever a command writes by a relative name stays there.
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  if (posix_spawn(&pid, words[0], &actions, nullptr, words.data(), environ) != 0) pid = 0;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

std::optional<int> HostProcess::Wait(pid_t pid, int timeoutMs) {
  if (pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid, &status, timeoutMs < 0 ? 0 : WNOHANG);
    if (reaped == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (reaped < 0 && errno != EINTR) return -1;
    if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    if (timeoutMs >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool HostProcess::Signal(pid_t pid, int signal) {
  return pid > 0 && kill(pid, signal) == 0;
}

#endif

}  // namespace qortest
