#include "QORHostAudioWriter.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>

namespace {

// About 256 KiB of samples per write to the file.
constexpr size_t kPendingSamples = 65536;

std::string Extension(const std::string& path) {
  std::string extension = std::filesystem::path(path).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

int MajorFor(const std::string& extension) {
  // Common names libsndfile's own list spells differently.
  if (extension == "aif") return SF_FORMAT_AIFF;
  if (extension == "ogg" || extension == "opus") return SF_FORMAT_OGG;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof(count));
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof(info));
    if (info.extension != nullptr && extension == info.extension) return info.format;
  }
  return 0;
}

int DefaultSubtype(int major, const std::string& extension) {
  switch (major) {
    case SF_FORMAT_OGG:
      return extension == "opus" ? SF_FORMAT_OPUS : SF_FORMAT_VORBIS;
    case SF_FORMAT_FLAC:
      return SF_FORMAT_PCM_24;
    case SF_FORMAT_MPEG:
      return SF_FORMAT_MPEG_LAYER_III;
    default:
      return SF_FORMAT_FLOAT;
  }
}

bool Valid(int format, int channels, int rate) {
  SF_INFO info{};
  info.format = format;
  info.channels = channels;
  info.samplerate = rate;
  return sf_format_check(&info) != 0;
}

}  // namespace

QORHostAudioWriter::~QORHostAudioWriter() {
  Abort();
}

int QORHostAudioWriter::FormatFor(const std::string& path, int channels, int rate,
                                  int sourceFormat) {
  const std::string extension = Extension(path);
  const int major = MajorFor(extension);
  if (major == 0) return 0;
  const int subtype = sourceFormat & SF_FORMAT_SUBMASK;
  if (subtype != 0 && !(major == SF_FORMAT_OGG && extension == "opus") &&
      Valid(major | subtype, channels, rate)) {
    return major | subtype;
  }
  for (const int candidate :
       {DefaultSubtype(major, extension), int{SF_FORMAT_PCM_24}, int{SF_FORMAT_PCM_16}}) {
    if (Valid(major | candidate, channels, rate)) return major | candidate;
  }
  return 0;
}

bool QORHostAudioWriter::Open(const std::string& path, int channels, int rate, int sourceFormat,
                              std::string* error) {
  Abort();
  const int format = FormatFor(path, channels, rate, sourceFormat);
  if (format == 0) {
    *error = "cannot write '" + path + "': its extension names no format that holds " +
             std::to_string(channels) + " channels at " + std::to_string(rate) +
             " Hz; end the output name with .wav, .flac, .ogg or another format libsndfile writes";
    return false;
  }
  const std::filesystem::path target(path);
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  // A hidden name beside the target, so the rename stays within one file system. It names the
  // writing process, so that a later run can tell one left by a killed run from one still being
  // written.
  // Appended piece by piece: the release build's compiler misreads "." + string as overlapping
  // copies.
  std::string name(".");
  name += target.filename().string();
  name += ".qorapo-";
  const std::filesystem::path prefix = folder / name;
  QORTemporaryFile::RemoveAbandoned(prefix);
  if (!temporary_.Create(prefix)) {
    *error = "cannot create a file in '" + folder.string() +
             "'; check that the folder exists and is writable";
    return false;
  }
  path_ = path;
  SF_INFO info{};
  info.format = format;
  info.channels = channels;
  info.samplerate = rate;
  channels_ = channels;
  pendingCapacity_ = std::max<size_t>(1, kPendingSamples / static_cast<size_t>(channels));
  pending_ = std::make_unique_for_overwrite<float[]>(pendingCapacity_ * channels);
  pendingFrames_ = 0;
  // The descriptor stays the temporary's to close: on Windows libsndfile would close only the
  // handle beneath it.
  file_ = sf_open_fd(temporary_.Descriptor(), SFM_WRITE, &info, SF_FALSE);
  if (file_ == nullptr) {
    *error = "cannot write '" + path + "' (" + sf_strerror(nullptr) + ")";
    Abort();
    return false;
  }
  if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT ||
      (format & SF_FORMAT_SUBMASK) == SF_FORMAT_DOUBLE) {
    return true;
  }
  // Integer encodings clip rather than wrap on samples at or past full scale.
  sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return true;
}

bool QORHostAudioWriter::Write(const float* interleaved, int64_t frames, std::string* error) {
  if (file_ == nullptr) return false;
  if (frames <= 0) return true;
  const auto channels = static_cast<size_t>(channels_);
  const size_t capacity = pendingCapacity_;
  while (frames > 0) {
    if (pendingFrames_ == 0 && static_cast<size_t>(frames) >= capacity) {
      // A piece at least as large as the buffer goes straight to the file.
      return Send(interleaved, frames, error);
    }
    const size_t take = std::min<size_t>(capacity - pendingFrames_, static_cast<size_t>(frames));
    std::memcpy(pending_.get() + pendingFrames_ * channels, interleaved,
                take * channels * sizeof(float));
    pendingFrames_ += take;
    interleaved += take * channels;
    frames -= static_cast<int64_t>(take);
    if (pendingFrames_ == capacity && !Flush(error)) return false;
  }
  return true;
}

bool QORHostAudioWriter::Flush(std::string* error) {
  const auto frames = static_cast<int64_t>(pendingFrames_);
  pendingFrames_ = 0;
  return Send(pending_.get(), frames, error);
}

bool QORHostAudioWriter::Send(const float* interleaved, int64_t frames, std::string* error) {
  if (frames <= 0) return true;
  if (sf_writef_float(file_, interleaved, frames) != frames) {
    *error = "writing '" + path_ + "' failed (" + sf_strerror(file_) +
             "); check the free space of its folder";
    return false;
  }
  return true;
}

bool QORHostAudioWriter::Commit(std::string* error) {
  if (file_ == nullptr) return false;
  if (!Flush(error)) {
    Abort();
    return false;
  }
  const int closed = sf_close(file_);
  file_ = nullptr;
  if (closed != 0 || !temporary_.Commit(std::filesystem::path(path_))) {
    *error = "cannot finish '" + path_ + "'; check that its folder is writable";
    Abort();
    return false;
  }
  return true;
}

void QORHostAudioWriter::Abort() {
  pendingFrames_ = 0;
  if (file_ != nullptr) {
    sf_close(file_);
    file_ = nullptr;
  }
  temporary_.Discard();
}
