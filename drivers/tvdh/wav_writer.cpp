#include "wav_writer.h"

#include <algorithm>

#include "platform.h"

namespace tvdh {

namespace {

constexpr std::uint32_t kHeaderBytes = 44;
// The RIFF size counts everything after its own field: "WAVE", the fmt
// chunk and the data chunk's header, 36 bytes, then the data.
constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

// The header is built in place: field by field at its offsets.
void Put16(std::uint8_t* at, unsigned v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32(std::uint8_t* at, std::uint32_t v) {
  Put16(at, v & 0xFFFFu);
  Put16(at + 2, v >> 16);
}

void PutTag(std::uint8_t* at, const char* tag) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(tag[i]);
}

// Moves `bytes` on in the file. fseek takes a long, 32 bits on Windows: a
// chunk's size past 2 GiB would turn into a step backwards there.
bool SkipForward(std::FILE* file, std::uint64_t bytes) {
  constexpr std::uint64_t kStep = 1u << 30;
  for (; bytes > 0; bytes -= std::min(bytes, kStep))
    if (std::fseek(file, static_cast<long>(std::min(bytes, kStep)), SEEK_CUR) != 0) return false;
  return true;
}

unsigned Get16(const std::uint8_t* at) { return at[0] | static_cast<unsigned>(at[1]) << 8; }

std::uint32_t Get32(const std::uint8_t* at) { return Get16(at) | static_cast<std::uint32_t>(Get16(at + 2)) << 16; }

bool IsTag(const std::uint8_t* at, const char* tag) {
  for (int i = 0; i < 4; ++i)
    if (at[i] != static_cast<std::uint8_t>(tag[i])) return false;
  return true;
}

}  // namespace

std::vector<std::uint8_t> WavHeader(int rate, int channels, std::uint32_t dataBytes) {
  std::vector<std::uint8_t> header(kHeaderBytes);
  std::uint8_t* h = header.data();
  const auto blockAlign = static_cast<unsigned>(2 * channels);
  PutTag(h, "RIFF");
  Put32(h + 4, dataBytes + (kHeaderBytes - 8));
  PutTag(h + 8, "WAVE");
  PutTag(h + 12, "fmt ");
  Put32(h + 16, 16);
  Put16(h + 20, 1);  // PCM
  Put16(h + 22, static_cast<unsigned>(channels));
  Put32(h + 24, static_cast<std::uint32_t>(rate));
  Put32(h + 28, static_cast<std::uint32_t>(rate) * blockAlign);
  Put16(h + 32, blockAlign);
  Put16(h + 34, 16);
  PutTag(h + 36, "data");
  Put32(h + 40, dataBytes);
  return header;
}

WavWriter::~WavWriter() {
  if (file_) std::fclose(file_);
}

bool WavWriter::Open(const std::string& path, int rate, int channels) {
  channels_ = channels;
  dataBytes_ = 0;
  failed_ = false;
  file_ = platform::OpenStream(path, "wb");
  if (!file_) return false;
  const std::vector<std::uint8_t> header = WavHeader(rate, channels, 0);
  // The rate stays in the header for Close, which rewrites it whole.
  rate_ = rate;
  failed_ = std::fwrite(header.data(), 1, header.size(), file_) != header.size();
  return !failed_;
}

bool WavWriter::Write(const short* samples, std::size_t frames) {
  if (failed_ || !file_) return false;
  const std::size_t count = frames * static_cast<std::size_t>(channels_);
  if (dataBytes_ + 2 * static_cast<std::uint64_t>(count) > kMaxDataBytes) {
    failed_ = true;
    return false;
  }
  buffer_.resize(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto v = static_cast<std::uint16_t>(samples[i]);
    buffer_[2 * i] = static_cast<std::uint8_t>(v);
    buffer_[2 * i + 1] = static_cast<std::uint8_t>(v >> 8);
  }
  failed_ = std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size();
  if (!failed_) dataBytes_ += buffer_.size();
  return !failed_;
}

bool WavWriter::Close() {
  if (!file_) return false;
  if (!failed_) {
    const std::vector<std::uint8_t> header = WavHeader(rate_, channels_, static_cast<std::uint32_t>(dataBytes_));
    failed_ = std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0 ||
              std::fwrite(header.data(), 1, header.size(), file_) != header.size();
  }
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  return closed && !failed_;
}

WavReader::~WavReader() {
  if (file_) std::fclose(file_);
}

bool WavReader::Open(const std::string& path) {
  file_ = platform::OpenStream(path, "rb");
  if (!file_) return false;
  std::uint8_t riff[12];
  if (std::fread(riff, 1, sizeof riff, file_) != sizeof riff || !IsTag(riff, "RIFF") || !IsTag(riff + 8, "WAVE"))
    return false;
  bool format = false;
  for (;;) {
    std::uint8_t chunk[8];
    if (std::fread(chunk, 1, sizeof chunk, file_) != sizeof chunk) return false;
    const std::uint32_t size = Get32(chunk + 4);
    if (IsTag(chunk, "fmt ")) {
      std::uint8_t f[16];
      if (size < sizeof f || std::fread(f, 1, sizeof f, file_) != sizeof f) return false;
      channels_ = static_cast<int>(Get16(f + 2));
      rate_ = static_cast<int>(Get32(f + 4));
      // Plain PCM, or WAVE_FORMAT_EXTENSIBLE around it, 16 bits a sample.
      format = (Get16(f) == 1 || Get16(f) == 0xFFFE) && Get16(f + 14) == 16 && channels_ > 0;
      if (!format) return false;
      // The rest of the chunk, and its pad byte when its size is odd.
      if (!SkipForward(file_, std::uint64_t{size} - sizeof f + (size & 1))) return false;
    } else if (IsTag(chunk, "data")) {
      if (!format) return false;
      left_ = size - size % (2u * static_cast<unsigned>(channels_));
      frames_ = left_ / (2u * static_cast<unsigned>(channels_));
      return true;
    } else if (!SkipForward(file_, std::uint64_t{size} + (size & 1))) {
      return false;
    }
  }
}

std::int64_t WavReader::Read(short* samples, std::size_t frames) {
  if (!file_) return -1;
  const std::uint64_t frameBytes = 2u * static_cast<unsigned>(channels_);
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(frames * frameBytes, left_));
  buffer_.resize(want);
  const std::size_t got = want ? std::fread(buffer_.data(), 1, want, file_) : 0;
  if (got != want) return -1;
  left_ -= got;
  for (std::size_t i = 0; i < got / 2; ++i)
    samples[i] = static_cast<short>(static_cast<std::uint16_t>(Get16(&buffer_[2 * i])));
  return static_cast<std::int64_t>(got / frameBytes);
}

}  // namespace tvdh
