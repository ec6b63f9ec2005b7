#include "QORHostAudioReader.h"

#include <sndfile.h>

QORHostAudioReader::~QORHostAudioReader() {
  if (file_ != nullptr) sf_close(file_);
}

bool QORHostAudioReader::Open(const std::string& path, std::string* error) {
  SF_INFO info{};
  file_ = sf_open(path.c_str(), SFM_READ, &info);
  if (file_ == nullptr) {
    *error = "cannot read '" + path + "' as audio (" + sf_strerror(nullptr) +
             "); give a WAV, FLAC, Ogg or other file that libsndfile reads";
    return false;
  }
  if (info.channels < 1 || info.samplerate < 1) {
    *error = "'" + path + "' holds no audio channels; give a file with at least one channel";
    return false;
  }
  channels_ = info.channels;
  rate_ = info.samplerate;
  frames_ = info.frames;
  format_ = info.format;
  return true;
}

int64_t QORHostAudioReader::Read(float* interleaved, int64_t frames) {
  if (file_ == nullptr || frames <= 0) return 0;
  return sf_readf_float(file_, interleaved, frames);
}

bool QORHostAudioReader::Rewind() {
  return file_ != nullptr && sf_seek(file_, 0, SEEK_SET) == 0;
}
