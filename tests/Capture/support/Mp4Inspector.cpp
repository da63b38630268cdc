#include "Mp4Inspector.hpp"

#include <fstream>
#include <iterator>
#include <string_view>

namespace veltrano::testing {

namespace {

using Bytes = std::string_view;

std::uint32_t be32(Bytes b, std::size_t at) {
  return (std::uint32_t(std::uint8_t(b[at])) << 24) | (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
         (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}
std::uint64_t be64(Bytes b, std::size_t at) { return (std::uint64_t(be32(b, at)) << 32) | be32(b, at + 4); }
std::uint16_t be16(Bytes b, std::size_t at) {
  return std::uint16_t((std::uint8_t(b[at]) << 8) | std::uint8_t(b[at + 1]));
}

struct Box {
  std::string type;
  Bytes body;
};

// Splits `data` into boxes; false on a box that runs past the end.
bool boxes(Bytes data, std::vector<Box>& out) {
  std::size_t at = 0;
  while (at + 8 <= data.size()) {
    std::uint64_t size = be32(data, at);
    std::size_t header = 8;
    std::string type(data.substr(at + 4, 4));
    if (size == 1) {
      if (at + 16 > data.size()) return false;
      size = be64(data, at + 8);
      header = 16;
    } else if (size == 0) {
      size = data.size() - at;
    }
    if (size < header || at + size > data.size()) return false;
    out.push_back(Box{type, data.substr(at + header, size - header)});
    at += size;
  }
  return at == data.size();
}

std::optional<Bytes> child(Bytes data, std::string_view type) {
  std::vector<Box> list;
  if (!boxes(data, list)) return std::nullopt;
  for (auto& box : list)
    if (box.type == type) return box.body;
  return std::nullopt;
}

std::optional<Bytes> path(Bytes data, std::initializer_list<std::string_view> types) {
  std::optional<Bytes> current = data;
  for (auto type : types) {
    current = child(*current, type);
    if (!current) return std::nullopt;
  }
  return current;
}

}  // namespace

std::uint32_t Mp4Summary::maxKeyFrameInterval() const {
  if (syncSamples.empty()) return sampleCount > 0 ? 1 : 0;
  std::uint32_t largest = 0;
  for (std::size_t i = 1; i < syncSamples.size(); ++i) largest = std::max(largest, syncSamples[i] - syncSamples[i - 1]);
  largest = std::max<std::uint32_t>(largest, std::uint32_t(sampleCount + 1 - syncSamples.back()));
  return largest;
}

std::optional<Mp4Summary> inspectMp4(const std::filesystem::path& file, std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Mp4Summary> {
    if (error) *error = why;
    return std::nullopt;
  };
  std::ifstream in(file, std::ios::binary);
  if (!in) return fail("cannot open " + file.string());
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Bytes data(content);

  std::vector<Box> top;
  if (!boxes(data, top)) return fail("truncated box structure");
  Mp4Summary summary;
  std::optional<Bytes> moov;
  for (auto& box : top) {
    if (box.type == "moov") moov = box.body;
    if (box.type == "mdat") summary.mediaBytes += box.body.size();
  }
  if (!moov) return fail("no moov box");

  std::vector<Box> tracks;
  if (!boxes(*moov, tracks)) return fail("bad moov");
  std::optional<Bytes> mdia;
  int videoTracks = 0;
  for (auto& box : tracks) {
    if (box.type != "trak") continue;
    auto candidate = child(box.body, "mdia");
    auto hdlr = candidate ? child(*candidate, "hdlr") : std::nullopt;
    if (hdlr && hdlr->size() >= 12 && hdlr->substr(8, 4) == "vide") {
      mdia = candidate;
      ++videoTracks;
    }
  }
  if (videoTracks != 1) return fail("expected one video track, found " + std::to_string(videoTracks));

  auto mdhd = child(*mdia, "mdhd");
  if (!mdhd || mdhd->empty()) return fail("no mdhd");
  if (std::uint8_t((*mdhd)[0]) == 1) {
    if (mdhd->size() < 32) return fail("short mdhd");
    summary.durationSeconds = double(be64(*mdhd, 24)) / be32(*mdhd, 20);
  } else {
    if (mdhd->size() < 20) return fail("short mdhd");
    summary.durationSeconds = double(be32(*mdhd, 16)) / be32(*mdhd, 12);
  }

  auto stbl = path(*mdia, {"minf", "stbl"});
  if (!stbl) return fail("no stbl");

  auto stsd = child(*stbl, "stsd");
  if (!stsd || stsd->size() < 16) return fail("no stsd");
  // stsd: version/flags, entry count, then the first sample entry box.
  std::vector<Box> entries;
  if (!boxes(stsd->substr(8), entries) || entries.empty()) return fail("bad stsd");
  summary.sampleEntry = entries[0].type;
  Bytes entry = entries[0].body;
  if (entry.size() < 78) return fail("short visual sample entry");
  summary.width = be16(entry, 24);
  summary.height = be16(entry, 26);
  if (auto avcC = child(entry.substr(78), "avcC"); avcC && avcC->size() >= 2)
    summary.profileIdc = std::uint8_t((*avcC)[1]);

  auto stsz = child(*stbl, "stsz");
  if (!stsz || stsz->size() < 12) return fail("no stsz");
  summary.sampleCount = be32(*stsz, 8);

  if (auto stss = child(*stbl, "stss"); stss && stss->size() >= 8) {
    const std::uint32_t count = be32(*stss, 4);
    if (stss->size() < 8 + std::size_t(count) * 4) return fail("short stss");
    for (std::uint32_t i = 0; i < count; ++i) summary.syncSamples.push_back(be32(*stss, 8 + i * 4));
  }
  if (auto ctts = child(*stbl, "ctts"); ctts && ctts->size() >= 8) {
    const std::uint32_t count = be32(*ctts, 4);
    for (std::uint32_t i = 0; i < count && 8 + i * 8 + 8 <= ctts->size(); ++i)
      if (be32(*ctts, 8 + i * 8 + 4) != 0) summary.hasReordering = true;
  }
  return summary;
}

}  // namespace veltrano::testing
