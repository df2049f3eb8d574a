#include "builder/follow_ups.h"

#include "builder/messages.h"
#include "packaging/archive.h"
#include "packaging/stub_join.h"
#include "platform/files.h"
#include "platform/process.h"

namespace builder {
namespace {

[[noreturn]] void failedPacking(const Output& out, const packaging::PackResult& result) {
  using packaging::PackError;
  switch (result.error) {
    case PackError::kUnknownPlatform:
      out.failBilingual("Error, packer support for selected packer unknown on this platform. "
                        "Please inform us, if this is wrong!",
                        "Fehler, die Packerunterst\x81tzung f\x81r den ausgew\x84hlten Packer ist unter diesem "
                        "Betriebssystem nicht m\x94glich.\nBitte informieren Sie uns, falls das unzutreffend ist!");
    case PackError::kNotFound:
      out.failNumbered(kBuilderMsgPackerNotFound, result.name, result.detail);
    case PackError::kUnquotable:
      out.failBilingualFormat(
          "Error, the name \"%s\" cannot be handed safely to the packer through the command interpreter.\n"
          "Please choose a patch name without \", %%, ^, ! or control characters.",
          "Fehler, der Name \"%s\" kann nicht sicher \x81" "ber den Befehlsinterpreter an den Packer "
          "\x81" "bergeben werden.\n"
          "Bitte w\x84hlen Sie einen Patchnamen ohne \", %%, ^, ! oder Steuerzeichen.",
          result.name);
    case PackError::kCommandTooLong:
      out.failBilingualFormat("Error, the packer's command line would be longer than %ld characters.",
                              "Fehler, die Befehlszeile des Packers w\x84re l\x84nger als %ld Zeichen.",
                              static_cast<long>(result.limit));
    case PackError::kBadOptionFormat:
      out.failBilingual("Error, packer options format does not allow other than %b or %p.",
                        "Fehler, das Format der Packer-Optionen erlaubt nur %p und %b.");
    case PackError::kCannotCreateZip:
      out.failBilingualFormat("Error, cannot create zip-file \"%s\" containing the patch file.",
                              "Fehler, kann Zip-Datei \"%s\" mit der Patchdatei nicht anlegen.", result.name);
    case PackError::kCannotAddEntry:
      out.failBilingualFormat("Error, cannot add patch file \"%s\" to the zipfile.",
                              "Fehler, kann Patchdatei \"%s\" nicht zum ZIP-Archiv hinzufuegen.", result.name);
    case PackError::kCannotReadOutput:
      out.failBilingual("Error, cannot read created patch file while trying to archive it as zipfile.",
                        "Fehler, kann Patchdatei nicht lesen, w\x84hrend Sie als Archiv angelegt wird.");
    case PackError::kZipWriteFailed:
      out.failBilingual("Error, internal routines fail to create a zipfile with the patch file.",
                        "Fehler, die internen Routinen versagen beim Anlegen einer Patchdatei.");
    case PackError::kNoArchive:
    case PackError::kNone:
      break;
  }
  out.failBilingual("Error, seems that the archive could not be created?!",
                    "Fehler, anscheinend konnte der Packer das Archiv nicht anlegen?!");
}

[[noreturn]] void failedJoin(const Output& out, const packaging::JoinResult& joined, const std::string& relativeStub) {
  switch (joined.error) {
    case packaging::JoinError::kStubMissing:
      out.failNumbered(kBuilderMsgStubMissing, relativeStub);
    case packaging::JoinError::kCannotAccess:
      out.failNumbered(kBuilderMsgCannotAccess, joined.name);
    case packaging::JoinError::kCannotCreate:
      out.failNumbered(kBuilderMsgCannotCreate, joined.name);
    case packaging::JoinError::kShortTransfer:
    case packaging::JoinError::kNone:
      break;
  }
  out.failNumbered(kBuilderMsgInternalFileHandling);
}

// The file name of the output, without its directory.
std::string programFileName(const std::string& path) {
  const std::size_t slash = platform::lastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void checkPacker(const Options& o, Context& ctx) {
  const std::size_t row = packaging::packerRowByName(packerName(o.packer));
  const std::string searchPath = platform::getEnv("PATH");
  // Only -z looks for the program: with -x alone a missing packer shows
  // when the archive is missing after the patch was made.
  const packaging::PackResult checked = packaging::checkPacker(ctx.files, row, o.packOptionGiven, searchPath);
  if (checked.error != packaging::PackError::kNone) failedPacking(ctx.out, checked);
  if (!o.packAfterwards || row == packaging::kInternalZip) return;
  const packaging::PackResult command = packaging::packerCommand(ctx.files, row, o.baseName, o.finalName, searchPath);
  if (command.error != packaging::PackError::kNone) failedPacking(ctx.out, command);
}

void packOutput(const Options& o, Context& ctx) {
  const packaging::PackResult packed =
      packaging::pack(ctx.files, ctx.machine.commands, packaging::packerRowByName(packerName(o.packer)), o.baseName,
                      o.finalName, platform::getEnv("PATH"));
  if (packed.error != packaging::PackError::kNone) failedPacking(ctx.out, packed);
  ctx.out.bilingualFormat("Compressed patch file into archive \"%s\" with %s Bytes.\n",
                          "Patchdatei in Archiv \"%s\" mit %s Bytes gepackt.\n", packed.archive,
                          std::to_string(packed.size), platform::Stream::kOut);
  ctx.out.flush(platform::Stream::kOut);
}

void checkVersionStrings(const Options& o, Context& ctx) {
  if (o.versionStrings.empty()) return;
  if (!o.executable) {
    if (!o.quiet) {
      ctx.out.notice("Notice, the values of option \"-R\" are left out: only an executable patch (-s) has a "
                     "version resource.\n",
                     "Hinweis, die Werte der Option \"-R\" entfallen: nur eine ausf\x81hrbare Patchdatei (-s) hat "
                     "eine Versionsressource.\n");
    }
    return;
  }
  const std::string name = programFileName(o.finalName);
  if (name.size() > packaging::kMaxOriginalFilename) {
    ctx.out.failBilingualFormat(
        "Error, the name \"%s\" is longer than 100 characters, too long for the version resource of the "
        "executable patch (option \"-R\")!",
        "Fehler, der Name \"%s\" ist l\x84nger als 100 Zeichen, zu lang f\x81r die Versionsressource der "
        "ausf\x81hrbaren Patchdatei (Option \"-R\")!",
        name);
  }
}

std::vector<packaging::VersionString> stubStrings(const Options& o) {
  std::vector<packaging::VersionString> strings = o.versionStrings;
  if (!strings.empty()) strings.push_back({packaging::kOriginalFilenameKey, programFileName(o.finalName)});
  return strings;
}

std::uint64_t joinStub(const Options& o, Context& ctx, bool directoryPatch, PatchOutput& output,
                       WrittenPatch* written) {
  packaging::StubKind kind;
  kind.windowed = o.guiStub;
  kind.platform = o.stubPlatform;
  kind.compressed = o.internalCompression;
  kind.directoryPatch = directoryPatch;
  const std::string relative = packaging::stubPath(kind);
  // Without a directory (a program started by a bare name) the tree is
  // looked for in the current directory, not at the root of the drive.
  const std::string stub = ctx.programDirectory.empty() ? relative : ctx.programDirectory + "\\" + relative;
  // With -R the stub's copy carries the vendor's values: the stub is read
  // whole and changed in memory, and those bytes go in front of the patch.
  const std::vector<packaging::VersionString> strings = stubStrings(o);
  std::string changed;
  packaging::VersionError changing = packaging::VersionError::kNone;
  packaging::JoinResult joined;
  if (!strings.empty()) {
    if (!ctx.files.open(stub, platform::File::Mode::kRead)) {
      joined = {packaging::JoinError::kStubMissing, stub};
    } else if (!ctx.files.readWholeFile(stub, &changed)) {
      joined = {packaging::JoinError::kCannotAccess, stub};
    } else {
      changing = packaging::setVersionStrings(&changed, strings);
    }
  }
  // The temporary patch goes in every case, joined or not: nothing is left
  // behind in the temporary directory.
  if (joined.error == packaging::JoinError::kNone && changing == packaging::VersionError::kNone) {
    joined = output.joinStub(stub, o.finalName, strings.empty() ? nullptr : &changed);
  } else {
    output.discard();
  }
  if (changing != packaging::VersionError::kNone) {
    if (changing == packaging::VersionError::kNoRoom) {
      ctx.out.failBilingualFormat(
          "Error, the values of option \"-R\" do not fit into the room that the stub \"%s\" reserves for them.",
          "Fehler, die Werte der Option \"-R\" passen nicht in den Platz, den der Stub \"%s\" f\x81r sie "
          "freih\x84lt.",
          stub);
    }
    ctx.out.failBilingualFormat("Error, the stub \"%s\" has no version resource that option \"-R\" could change.",
                                "Fehler, der Stub \"%s\" hat keine Versionsressource, die Option \"-R\" \x84ndern "
                                "k\x94nnte.",
                                stub);
  }
  if (joined.error != packaging::JoinError::kNone) failedJoin(ctx.out, joined, relative);
  written->stub = stub;
  written->stubStrings = strings;
  return joined.size;
}

}  // namespace builder
