#include "platform/win32/QORWin32PipeServer.h"

#include <cstring>
#include <string>

#include "common/QORTrace.h"
#include "platform/win32/QORWin32ObjectName.h"
#include "platform/win32/QORWin32Security.h"

namespace {

// Room for a few messages, so that a writer seldom waits for the reader's next read.
constexpr DWORD kBufferedMessages = 8;

std::wstring ClaimName(const std::wstring& pipeName, uint32_t index) {
  constexpr std::wstring_view prefix = L"\\\\.\\pipe\\";
  std::wstring rest = pipeName.starts_with(prefix) ? pipeName.substr(prefix.size()) : pipeName;
  // A pipe name may hold backslashes; an object name after its namespace may not.
  for (wchar_t& c : rest) {
    if (c == L'\\') c = L'/';
  }
  return L"Global\\QORPipeInstance." + std::to_wstring(index) + L"." + rest;
}

// Claims the first free index: the one whose claim this call creates. Null when all are held.
HANDLE ClaimIndex(const std::wstring& pipeName, uint32_t* index) {
  auto create = [](const wchar_t* name) {
    return CreateEventW(QORWin32Security::ForNamedObjects(), TRUE, FALSE, name);
  };
  auto open = [](const wchar_t* name) { return OpenEventW(SYNCHRONIZE, FALSE, name); };
  for (uint32_t i = 0; i < kQORPipeMaxInstances; ++i) {
    bool existed = false;
    DWORD error = ERROR_SUCCESS;
    HANDLE claim =
        QORWin32ObjectName::Create(ClaimName(pipeName, i), create, open, &existed, &error);
    if (claim != nullptr && !existed) {
      *index = i;
      return claim;
    }
    if (claim != nullptr) CloseHandle(claim);
  }
  return nullptr;
}

QORNamedObjectError CreateError(DWORD error) {
  // ERROR_PIPE_BUSY: every instance the name allows exists.
  if (error == ERROR_PIPE_BUSY) return QORNamedObjectError::kBusy;
  return QORWin32ObjectName::ErrorFor(error);
}

}  // namespace

QORWin32PipeServer::QORWin32PipeServer(HANDLE pipe, HANDLE claim, uint32_t index,
                                       size_t messageSize)
    : pipe_(pipe),
      claim_(claim),
      event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      index_(index),
      messageSize_(messageSize),
      partial_(messageSize) {}

QORWin32PipeServer::~QORWin32PipeServer() {
  Cancel();
  if (state_ == State::kConnected || state_ == State::kArrived) DisconnectNamedPipe(pipe_.Get());
  // The claim goes before the instance: a reader that finds the instance gone then always finds
  // an index free.
  claim_.Reset();
  pipe_.Reset();
}

bool QORWin32PipeServer::Listen() {
  if (event_.Get() == nullptr) return false;
  for (int attempt = 0; attempt < 4; ++attempt) {
    ResetEvent(event_.Get());
    overlapped_ = OVERLAPPED{};
    overlapped_.hEvent = event_.Get();
    const BOOL done = ConnectNamedPipe(pipe_.Get(), &overlapped_);
    const DWORD error = done ? ERROR_PIPE_CONNECTED : GetLastError();
    if (error == ERROR_IO_PENDING) {
      state_ = State::kListening;
      return true;
    }
    if (error == ERROR_PIPE_CONNECTED) {
      // A writer came between the instance's creation (or last disconnection) and now.
      state_ = State::kArrived;
      SetEvent(event_.Get());
      return true;
    }
    // ERROR_NO_DATA: a writer came and went already; its end is dropped before listening again.
    if (error != ERROR_NO_DATA) break;
    DisconnectNamedPipe(pipe_.Get());
  }
  state_ = State::kIdle;
  return false;
}

void QORWin32PipeServer::Cancel() {
  if (state_ != State::kListening && !reading_) return;
  CancelIoEx(pipe_.Get(), &overlapped_);
  DWORD ignored = 0;
  GetOverlappedResult(pipe_.Get(), &overlapped_, &ignored, TRUE);
  reading_ = false;
}

QORPipeResult QORWin32PipeServer::Connect() {
  if (state_ == State::kIdle) Listen();
  if (state_ == State::kListening) {
    DWORD ignored = 0;
    if (GetOverlappedResult(pipe_.Get(), &overlapped_, &ignored, FALSE)) {
      state_ = State::kArrived;
    } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
      // The writer went before it was taken.
      DisconnectNamedPipe(pipe_.Get());
      Listen();
    }
  }
  if (state_ == State::kConnected) return QORPipeResult::kDone;
  if (state_ != State::kArrived) return QORPipeResult::kPending;
  state_ = State::kConnected;
  filled_ = 0;
  // A writer that left at once shows up as a failed read, which Read reports.
  StartRead();
  return QORPipeResult::kDone;
}

bool QORWin32PipeServer::StartRead() {
  ResetEvent(event_.Get());
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event_.Get();
  const DWORD room = static_cast<DWORD>(messageSize_ - filled_);
  if (!ReadFile(pipe_.Get(), partial_.data() + filled_, room, nullptr, &overlapped_) &&
      GetLastError() != ERROR_IO_PENDING) {
    return false;
  }
  // Done or not, the result is taken through the OVERLAPPED.
  reading_ = true;
  return true;
}

QORPipeResult QORWin32PipeServer::Read(void* message, size_t* size) {
  *size = 0;
  if (state_ != State::kConnected) return QORPipeResult::kClosed;
  for (;;) {
    if (reading_) {
      DWORD got = 0;
      if (!GetOverlappedResult(pipe_.Get(), &overlapped_, &got, FALSE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) return QORPipeResult::kPending;
        break;  // the writer is gone
      }
      reading_ = false;
      filled_ += got;
    }
    if (filled_ == messageSize_) {
      std::memcpy(message, partial_.data(), messageSize_);
      *size = messageSize_;
      filled_ = 0;
      // The next read is under way before the caller waits again; if it cannot start, the next
      // Read finds the writer gone.
      StartRead();
      return QORPipeResult::kDone;
    }
    if (!StartRead()) break;
  }
  // End of stream or a broken pipe: hand over what an unfinished message had.
  *size = filled_;
  std::memcpy(message, partial_.data(), filled_);
  Disconnect();
  return QORPipeResult::kClosed;
}

void QORWin32PipeServer::Disconnect() {
  if (state_ != State::kConnected) return;
  Cancel();
  DisconnectNamedPipe(pipe_.Get());
  filled_ = 0;
  state_ = State::kIdle;
  Listen();
}

std::unique_ptr<IQORPipeServer> QORCreatePipeServer(const std::wstring& name, size_t messageSize,
                                                    QORNamedObjectError* error) {
  QORNamedObjectError failure = QORNamedObjectError::kFailed;
  std::unique_ptr<QORWin32PipeServer> server;
  if (messageSize != 0 && messageSize <= MAXDWORD / kBufferedMessages) {
    // Byte mode, as the POSIX stream: the reader puts fixed-size messages back together, and a
    // writer that gave up halfway breaks the connection rather than leave half a message.
    // Remote clients are turned away: the pipe is for local writers only.
    HANDLE pipe = CreateNamedPipeW(
        QORWin32ObjectName::ForPipe(name).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kQORPipeMaxInstances, 0, static_cast<DWORD>(messageSize) * kBufferedMessages, 0,
        QORWin32Security::ForNamedObjects());
    uint32_t index = 0;
    HANDLE claim = nullptr;
    if (pipe == INVALID_HANDLE_VALUE) {
      failure = CreateError(GetLastError());
    } else if ((claim = ClaimIndex(name, &index)) == nullptr) {
      // Claims go before their instances, so this takes a claim held by no reader of ours.
      CloseHandle(pipe);
      failure = QORNamedObjectError::kBusy;
    } else {
      server = std::make_unique<QORWin32PipeServer>(pipe, claim, index, messageSize);
      if (server->Listen()) failure = QORNamedObjectError::kNone;
    }
  }
  if (error != nullptr) *error = failure;
  if (failure == QORNamedObjectError::kNone) return server;
  QORTrace({"QORWin32PipeServer", __LINE__, "QORCreatePipeServer"},
           "no pipe instance created (error %d)\n", static_cast<int>(failure));
  return nullptr;
}
