#include "applier/contents.h"


#include "applier/engine.h"
#include "patchformat/body_walk.h"
#include "platform/codepage.h"
#include "platform/number_text.h"
#include "platform/registry.h"

namespace applier {

PatchContents PatchEngine::readContents() {
  PatchContents c;
  c.patchName = request_.patchName;
  c.header = header_;
  c.directoryPatch = directoryPatch_;
  if (!patch_->size(&c.fileBytes)) fail(kMsgPatchReadFailed);
  c.patchOffset = where_.headerOffset;
  c.storedBody = where_.bodyEnd - where_.bodyStart;
  for (char ch : creatorRaw_) c.creator += ch == '\0' ? '\n' : ch;
  for (char ch : comment_) {
    if (ch != '\n') c.comment += ch == '\r' ? '\n' : ch;
  }
  body_->seek(firstSeries_);
  patchformat::BodyWalker walk = patchformat::BodyWalker::fromSeries(*body_, directoryPatch_, firstSeries_, 0);
  // Content is expanded and passed on, kept in the temporary file only
  // where the body is LZMA (ExpandedBody::stream).
  const auto pass = [&](std::uint64_t at, std::uint64_t n, const ExpandedBody::Sink& sink) {
    if (!body_->stream(at, n, sink)) bodyFailed();
    body_->seek(at + n);
    walk.contentPassed();
  };
  for (;;) {
    const patchformat::BodyStep step = walk.next();
    if (step == patchformat::BodyStep::kFailed) bodyFailed();
    if (step == patchformat::BodyStep::kBodyEnd) break;
    if (step == patchformat::BodyStep::kSeries) {
      c.series.emplace_back().header = walk.series();
      if (directoryPatch_) requireSafe(walk.series().backupDir, false);
      continue;
    }
    if (step == patchformat::BodyStep::kSeriesEnd) continue;
    std::vector<ListedFile>& files = c.series.back().files;
    if (step == patchformat::BodyStep::kSource) {
      const patchformat::DeltaSource& source = walk.source();
      ListedVersion& v = files.back().sources[source.index];
      v.name = source.name;
      v.window = source.window;
      requireSafe(v.name, true);
      v.size = source.record.size;
      v.checksum = source.record.checksum;
      pass(source.streams, source.record.streamsTotal(), nullptr);
      continue;
    }
    ListedFile& f = files.emplace_back();
    if (step == patchformat::BodyStep::kPatchedFile) {
      const patchformat::PatchedFileRecord& record = walk.patchedFile();
      f.kind = patchformat::kRecordPatched;
      f.name = record.name;
      f.final.window = record.window;
      if (directoryPatch_) requireSafe(f.name, false);
      f.final.size = record.info.size;
      f.final.checksum = record.info.checksum;
      f.attributes = record.info.attributes;
      f.optional = (record.info.fileFlags & patchformat::kFileOptional) != 0;
      f.sources.resize(record.info.sourceCount);
    } else if (step == patchformat::BodyStep::kEmbeddedFile) {
      const patchformat::EmbeddedFileRecord& record = walk.embeddedFile();
      f.kind = patchformat::kRecordEmbedded;
      f.name = record.name;
      f.final.size = record.size;
      f.attributes = record.attributes;
      requireSafe(f.name, false);
      patchformat::WindowedCrc crc;
      pass(record.content, record.size, [&crc](const std::uint8_t* data, std::size_t n) {
        crc.update(data, n);
        return true;
      });
      f.final.checksum = crc.value();
    } else {
      f.kind = patchformat::kRecordObsolete;
      f.name = walk.obsoleteName();
      requireSafe(f.name, false);
    }
  }
  c.expandedBody = body_->position();
  return c;
}

namespace {

std::string hex8(std::uint32_t v) { return platform::hexDigits(v, 8); }

const char* recordName(patchformat::RecordType kind) {
  switch (kind) {
    case patchformat::kRecordEmbedded: return "embedded";
    case patchformat::kRecordObsolete: return "obsolete";
    default: return "patched";
  }
}

// How the body is stored: "stored", "deflate" or "lzma".
const char* bodyCodingName(const patchformat::PatchHeader& header) {
  switch (header.bodyCoding()) {
    case patchformat::BodyCoding::kStored: return "stored";
    case patchformat::BodyCoding::kDeflate: return "deflate";
    case patchformat::BodyCoding::kLzma: return "lzma";
    case patchformat::BodyCoding::kInvalid: break;
  }
  return "invalid";  // never listed: such a patch does not load
}

std::string rootKeyName(std::uint32_t key) {
  return key == platform::kHkeyLocalMachine ? "HKEY_LOCAL_MACHINE" : "root key 0x" + hex8(key);
}

const char* locatorName(std::uint8_t locator) {
  switch (locator) {
    case patchformat::kLocateGivenPath: return "path";
    case patchformat::kLocateRegistry: return "registry";
    case patchformat::kLocateWindowsDir: return "windows-directory";
    case patchformat::kLocateSystemDir: return "system-directory";
    case patchformat::kLocateKeep: return "previous-target";
    default: return "unknown";
  }
}

std::string locatorText(const patchformat::SeriesHeader& h) {
  switch (h.locator) {
    case patchformat::kLocateGivenPath: return "the path given to the applier (else the current directory)";
    case patchformat::kLocateRegistry:
      return "the path in registry value \"" + h.valueName + "\" of key " + rootKeyName(h.rootKey) + "\\" + h.subKey;
    case patchformat::kLocateWindowsDir: return "the Windows directory";
    case patchformat::kLocateSystemDir: return "the system directory";
    case patchformat::kLocateKeep: return "the target of the series before";
    default: return "unknown locator " + std::to_string(h.locator);
  }
}

std::string versionText(const ListedVersion& v) {
  std::string text = std::to_string(v.size) + " bytes, checksum " + hex8(v.checksum);
  if (v.window.length != 0) {
    text += " (skipping " + std::to_string(v.window.length) + " bytes at " + std::to_string(v.window.start) + ")";
  }
  return text;
}

// "stored", "compressed (deflate)", "compressed (LZMA)".
std::string bodyCodingText(const patchformat::PatchHeader& header) {
  switch (header.bodyCoding()) {
    case patchformat::BodyCoding::kDeflate: return "compressed (deflate)";
    case patchformat::BodyCoding::kLzma: return "compressed (LZMA)";
    default: return bodyCodingName(header);
  }
}

std::string indentedLines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out = "  ";
  for (char ch : text) out += ch == '\n' ? std::string("\n  ") : std::string(1, ch);
  return out + "\n";
}

}  // namespace

std::string contentsText(const PatchContents& c) {
  std::string out = "Patch \"" + c.patchName + "\": " + (c.directoryPatch ? "directory patch" : "file patch") +
                    " (kind " + std::to_string(c.header.kind) + "), body " + bodyCodingText(c.header) +
                    ", format version " + std::to_string(c.header.version) + "\n";
  out += "  " + std::to_string(c.fileBytes) + " bytes in all, patch data from byte " + std::to_string(c.patchOffset) +
         ", body " + std::to_string(c.storedBody) + " bytes stored, " + std::to_string(c.expandedBody) +
         " bytes expanded\n";
  if (!c.creator.empty()) out += "Created by:\n" + indentedLines(c.creator);
  if (c.comment.empty()) {
    out += "No comment.\n";
  } else {
    out += std::string("Comment") +
           ((c.header.flags & patchformat::kHeaderNoConfirmation) ? " (shown without asking):\n"
                                                                   : " (the user confirms it):\n") +
           indentedLines(c.comment);
  }
  for (std::size_t k = 0; k < c.series.size(); ++k) {
    const ListedSeries& s = c.series[k];
    out += "Target " + std::to_string(k + 1) + " of " + std::to_string(c.series.size()) + ": " +
           locatorText(s.header) + "\n";
    if (c.directoryPatch) out += "  backup directory \"" + s.header.backupDir + "\"\n";
    for (const ListedFile& f : s.files) {
      const std::string name = f.name.empty() ? "(the file given)" : "\"" + f.name + "\"";
      out += "  " + std::string(recordName(f.kind)) + " " + name;
      if (f.kind == patchformat::kRecordObsolete) {
        out += ": removed, kept in the backup directory\n";
        continue;
      }
      out += f.optional ? " (optional)\n" : "\n";
      out += "    final: " + versionText(f.final) + "\n";
      for (const ListedVersion& v : f.sources) {
        out += "    from:  " + versionText(v);
        if (!v.name.empty() && v.name != f.name) out += " named \"" + v.name + "\"";
        out += "\n";
      }
    }
  }
  return out;
}

namespace {

// A JSON string of system text (code page 1252).
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char ch : platform::cp1252ToUtf8(text)) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (ch < 0x20) {
          out += "\\u" + platform::hexDigits(ch, 4);
        } else {
          out += static_cast<char>(ch);
        }
    }
  }
  return out + "\"";
}

std::string versionJson(const ListedVersion& v) {
  std::string out = "{\"size\": " + std::to_string(v.size) + ", \"checksum\": \"" + hex8(v.checksum) + "\"";
  if (!v.name.empty()) out += ", \"name\": " + quoted(v.name);
  if (v.window.length != 0) {
    out += ", \"skipped\": {\"start\": " + std::to_string(v.window.start) +
           ", \"length\": " + std::to_string(v.window.length) + "}";
  }
  return out + "}";
}

template <typename T, typename F>
std::string jsonList(const std::vector<T>& items, const std::string& indent, F each) {
  if (items.empty()) return "[]";
  std::string out = "[\n";
  for (std::size_t i = 0; i < items.size(); ++i) out += indent + "  " + each(items[i]) + (i + 1 < items.size() ? ",\n" : "\n");
  return out + indent + "]";
}

}  // namespace

std::string contentsJson(const PatchContents& c) {
  const bool compressed = c.header.bodyCoding() != patchformat::BodyCoding::kStored;
  std::string out = "{\n";
  out += "  \"patch\": " + quoted(c.patchName) + ",\n";
  out += "  \"kind\": \"" + std::string(c.directoryPatch ? "directory" : "file") +
         "\", \"kindCode\": " + std::to_string(c.header.kind) + ",\n";
  out += std::string("  \"compressed\": ") + (compressed ? "true" : "false") + ", \"bodyCoding\": \"" +
         bodyCodingName(c.header) + "\", \"formatVersion\": " + std::to_string(c.header.version) + ",\n";
  out += "  \"fileBytes\": " + std::to_string(c.fileBytes) + ", \"patchOffset\": " + std::to_string(c.patchOffset) +
         ", \"storedBodyBytes\": " + std::to_string(c.storedBody) +
         ", \"expandedBodyBytes\": " + std::to_string(c.expandedBody) + ",\n";
  out += "  \"creator\": " + quoted(c.creator) + ",\n";
  out += "  \"comment\": " + quoted(c.comment) + ", \"confirmComment\": " +
         ((c.header.flags & patchformat::kHeaderNoConfirmation) || c.comment.empty() ? "false" : "true") + ",\n";
  out += "  \"targets\": " + jsonList(c.series, "  ", [&](const ListedSeries& s) {
    std::string t = "{\"locator\": {\"kind\": \"" + std::string(locatorName(s.header.locator)) + "\"";
    if (s.header.locator == patchformat::kLocateRegistry) {
      t += ", \"rootKey\": " + quoted(rootKeyName(s.header.rootKey)) + ", \"key\": " + quoted(s.header.subKey) +
           ", \"value\": " + quoted(s.header.valueName);
    }
    t += "}";
    if (c.directoryPatch) t += ", \"backupDirectory\": " + quoted(s.header.backupDir);
    t += ", \"files\": " + jsonList(s.files, "    ", [](const ListedFile& f) {
      std::string j = "{\"record\": \"" + std::string(recordName(f.kind)) + "\", \"name\": " + quoted(f.name);
      if (f.kind != patchformat::kRecordObsolete) {
        j += std::string(", \"optional\": ") + (f.optional ? "true" : "false") + ", \"final\": " + versionJson(f.final);
      }
      if (f.kind == patchformat::kRecordPatched) {
        j += ", \"from\": [";
        for (std::size_t i = 0; i < f.sources.size(); ++i) j += (i ? ", " : "") + versionJson(f.sources[i]);
        j += "]";
      }
      return j + "}";
    }) + "}";
    return t;
  }) + "\n}\n";
  return out;
}

}  // namespace applier
