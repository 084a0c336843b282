#include "batch/archive_sink.h"

#include <libdeflate.h>

#include <algorithm>

#include "batch/folders.h"

namespace quevro::batch {
namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEndOfDirectory = 0x06054b50;
constexpr uint16_t kUtf8Names = 0x0800;
constexpr uint16_t kVersion = 20;
// Without ZIP64 records an archive counts at most this many entries and bytes.
constexpr size_t kMaxEntries = 0xffff;
constexpr uint64_t kMaxBytes = 0xffffffffu;

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xffff);
  put16(out, v >> 16);
}

}  // namespace

ArchiveSink::ArchiveSink(std::string path, const InputGuard& inputs, std::time_t when) : path_(std::move(path)), inputs_(inputs) {
  std::tm local{};
  localtime_r(&when, &local);
  dos_time_ = static_cast<uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec >> 1));
  dos_date_ = static_cast<uint16_t>(((std::max(1980, local.tm_year + 1900) - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
}

std::string ArchiveSink::open() {
  std::string error = inputs_.check(path_);
  if (error.empty()) error = make_parent_folders(path_);
  return error.empty() ? file_.create(path_) : error;
}

std::vector<uint8_t> ArchiveSink::header(const Entry& e, bool central) const {
  std::vector<uint8_t> out;
  put32(out, central ? kCentralHeader : kLocalHeader);
  if (central) put16(out, kVersion);
  put16(out, kVersion);
  put16(out, e.flags);
  put16(out, 0);  // stored
  put16(out, dos_time_);
  put16(out, dos_date_);
  put32(out, e.crc);
  put32(out, e.size);
  put32(out, e.size);
  put16(out, static_cast<uint32_t>(e.name.size()));
  put16(out, 0);  // extra field length
  if (central) {
    put16(out, 0);  // comment length
    put16(out, 0);  // disk number
    put16(out, 0);  // internal attributes
    put32(out, 0);  // external attributes
    put32(out, e.offset);
  }
  out.insert(out.end(), e.name.begin(), e.name.end());
  return out;
}

std::string ArchiveSink::write(const std::string& name, std::span<const uint8_t> bytes) {
  if (entries_.size() >= kMaxEntries) return path_ + ": too many documents for one archive";
  if (name.size() > 0xffff) return path_ + ": file name too long";
  Entry entry{name, 0, 0, static_cast<uint32_t>(bytes.size()), static_cast<uint32_t>(written_)};
  if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) entry.flags = kUtf8Names;
  entry.crc = static_cast<uint32_t>(libdeflate_crc32(0, bytes.data(), bytes.size()));
  std::vector<uint8_t> local = header(entry, false);
  uint64_t end = written_ + local.size() + bytes.size();
  // The central directory has to fit below the limit as well.
  if (bytes.size() > kMaxBytes || end + 46 + name.size() + 22 > kMaxBytes) return path_ + ": the archive would be larger than 4 GB";
  std::string error = file_.append(local);
  if (error.empty()) error = file_.append(bytes);
  if (!error.empty()) return error;
  written_ = end;
  entries_.push_back(std::move(entry));
  return std::string();
}

std::string ArchiveSink::finish(bool keep) {
  if (!keep || !file_.is_open()) {
    file_.discard();
    return std::string();
  }
  std::vector<uint8_t> directory;
  for (const Entry& e : entries_) {
    std::vector<uint8_t> h = header(e, true);
    directory.insert(directory.end(), h.begin(), h.end());
  }
  auto directory_size = static_cast<uint32_t>(directory.size());
  put32(directory, kEndOfDirectory);
  put16(directory, 0);
  put16(directory, 0);
  put16(directory, static_cast<uint32_t>(entries_.size()));
  put16(directory, static_cast<uint32_t>(entries_.size()));
  put32(directory, directory_size);
  put32(directory, static_cast<uint32_t>(written_));
  put16(directory, 0);
  std::string error = file_.append(directory);
  if (error.empty()) error = file_.commit();
  if (!error.empty()) file_.discard();
  return error;
}

}  // namespace quevro::batch
