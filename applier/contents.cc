#include "applier/contents.h"

#include <cinttypes>
#include <cstdio>

#include "applier/engine.h"
#include "platform/codepage.h"
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
  // Content is expanded and passed on, never kept in the temporary file.
  const auto pass = [this](std::uint64_t n, const ExpandedBody::Sink& sink) {
    const std::uint64_t at = body_->position();
    if (!body_->stream(at, n, sink)) bodyFailed();
    seekBody(at + n);
  };
  seekBody(firstSeries_);
  for (std::size_t k = 0;; ++k) {
    ListedSeries& series = c.series.emplace_back();
    if (!reader().readSeriesHeader(directoryPatch_, k, &series.header)) bodyFailed();
    if (directoryPatch_) requireSafe(series.header.backupDir, false);
    for (;;) {
      patchformat::RecordType type = patchformat::kRecordPatched;
      if (directoryPatch_ && !reader().readRecordType(&type)) bodyFailed();
      if (type == patchformat::kRecordEnd) break;
      ListedFile& f = series.files.emplace_back();
      f.kind = type;
      if (type == patchformat::kRecordPatched) {
        patchformat::FinalInfo info;
        if (!reader().readPatchedFile(directoryPatch_, &info, &f.final.window, &f.name)) bodyFailed();
        if (directoryPatch_) requireSafe(f.name, false);
        f.final.size = info.size;
        f.final.checksum = info.checksum;
        f.attributes = info.attributes;
        f.optional = (info.fileFlags & patchformat::kFileOptional) != 0;
        f.sources.resize(info.sourceCount);
        for (ListedVersion& v : f.sources) {
          patchformat::SourceRecord record;
          if (!reader().readSource(directoryPatch_, info, &v.name, &record, &v.window)) bodyFailed();
          requireSafe(v.name, true);
          v.size = record.size;
          v.checksum = record.checksum;
          pass(record.streamsTotal(), nullptr);
        }
      } else if (type == patchformat::kRecordEmbedded) {
        std::uint32_t dosDateTime = 0;
        if (!reader().readEmbeddedHeader(&f.name, &f.final.size, &dosDateTime, &f.attributes)) bodyFailed();
        requireSafe(f.name, false);
        patchformat::WindowedCrc crc;
        pass(f.final.size, [&crc](const std::uint8_t* data, std::size_t n) {
          crc.update(data, n);
          return true;
        });
        f.final.checksum = crc.value();
      } else {
        if (!reader().readObsolete(&f.name)) bodyFailed();
        requireSafe(f.name, false);
      }
      if (!directoryPatch_) break;
    }
    if (!series.header.moreFollow()) break;
    seekBody(body_->position());
  }
  c.expandedBody = body_->position();
  return c;
}

namespace {

std::string hex8(std::uint32_t v) {
  char text[12];
  std::snprintf(text, sizeof text, "%08" PRIx32, v);
  return text;
}

const char* recordName(patchformat::RecordType kind) {
  switch (kind) {
    case patchformat::kRecordEmbedded: return "embedded";
    case patchformat::kRecordObsolete: return "obsolete";
    default: return "patched";
  }
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

std::string indentedLines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  std::string out = "  ";
  for (char ch : text) out += ch == '\n' ? std::string("\n  ") : std::string(1, ch);
  return out + "\n";
}

}  // namespace

std::string contentsText(const PatchContents& c) {
  std::string out = "Patch \"" + c.patchName + "\": " + (c.directoryPatch ? "directory patch" : "file patch") +
                    " (kind " + std::to_string(c.header.kind) + "), body " +
                    ((c.header.flags & patchformat::kHeaderCompressed) ? "compressed" : "stored") +
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
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", ch);
          out += esc;
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
  const bool compressed = (c.header.flags & patchformat::kHeaderCompressed) != 0;
  std::string out = "{\n";
  out += "  \"patch\": " + quoted(c.patchName) + ",\n";
  out += "  \"kind\": \"" + std::string(c.directoryPatch ? "directory" : "file") +
         "\", \"kindCode\": " + std::to_string(c.header.kind) + ",\n";
  out += std::string("  \"compressed\": ") + (compressed ? "true" : "false") +
         ", \"formatVersion\": " + std::to_string(c.header.version) + ",\n";
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
