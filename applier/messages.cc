#include "applier/messages.h"

#include <cstddef>

#include "platform/codepage.h"

namespace applier {
namespace {

struct Entry {
  int windowed;          // -1: console only
  int console;           // -1: windowed only
  const char* text;      // windowed text (console text when windowed is -1)
  const char* console_;  // null: the same text
  bool appendToLine;     // windowed text begins with byte 1
};

#define VERDELIN_DOWNLOAD "https://www.verdelin.example/verdelin/pelmo%s.htm"

const Entry kTable[] = {
    {0, 0, "Error, patch is corrupted!", nullptr, false},
    {1, 1, "Error, writing patched file failed!", nullptr, false},
    {2, 2, "Error, reading source file failed!", nullptr, false},
    {3, 3, "Error, reading patch file failed!", nullptr, false},
    {4, 4, "Too many parameters!", nullptr, false},
    {5, 5, "Error, opening \"%s\" for patching failed,%nthis file probably does not exist!", nullptr, false},
    {6, 6, "Testmode enabled, no files will be changed.%n%n", nullptr, false},
    {7, 7, "Error, buffering patchdata in temp files failed!", nullptr, false},
    {8, 8, "Error, opening temp file failed!", nullptr, false},
    {9, 9,
     "%nError, access denied for replacing this file with temporary created update.%nProbably you are trying to "
     "overwrite a file currently in use. Please close all%nprograms or reboot to ensure it's not in use. Then apply "
     "the patch again!",
     nullptr, false},
    {10, 10, "Error, internal file checksum mismatch, please contact Verdelin author!", nullptr, false},
    {11, 11, "%nError, \"%p\" is no patch file.", nullptr, false},
    {12, 12, "%nError, this version of Pelmora can't apply this patch!%nFind matching version at " VERDELIN_DOWNLOAD,
     nullptr, false},
    {13, 13, "%nError, cannot open patch file \"%p\" for reading!", nullptr, false},
    {14, 14, "%nError, \"%p\" unreadable or not a patch file.", nullptr, false},
    {15, 15,
     "%nThe patch is not applicable to it or you denied to do so. Please use%nthe \"Browse\" button to choose the "
     "target software and then press the%n\"Apply\" button.",
     "%nThe target software for this patch cannot be found.%n%nMaybe you need to reinstall or unzip it? Make sure you "
     "have the correct%npatch for your software.",
     false},
    {16, 16, "Error, patch is not applicable to \"%s\".", "%nError, patch is not applicable to \"%s\".", false},
    {17, 17, "Checking patchinfo for file \"%m\": ", nullptr, false},
    {18, 18, "Skipping embedded file \"%m\".", "Skipping embedded file \"%m\".%n", false},
    {19, 19, "Writing embedded file \"%m\".", "Writing embedded file \"%m\".%n", false},
    {20, 20, "Error, writing file \"%m\" failed!", nullptr, false},
    {21, 21, "Removing obsolete file \"%m\".%n", nullptr, false},
    {22, 22, "File \"%m\" is now obsolet and will be removed when actually applying the patch file.%n", nullptr, false},
    {23, 23, "Updating file \"%m\": ", nullptr, false},
    {24, 24, "Please wait while uncompressing and checking the patch file ...%n", nullptr, false},
    {25, 25, "%nScanning all your local hard disks for target files...%n", nullptr, false},
    {26, 26, "%nTests Ok. Now applying the patch.%n%n", nullptr, false},
    {27, 27, "%nOk. Patch file applicable to \"%s\".%n", nullptr, false},
    {28, 28, "%nOk, patch file applied with SUCCESS!%n", nullptr, false},
    {29, 31, "The patch can be applied to \"%s\". Do you want to apply the patch to it?",
     "%nThe patch file can be applied to \"%s\".%nDo you want to apply it?", false},
    {30, 32, "%nDo you want to apply this patch file?", nullptr, false},
    {31, 33, "%nYou denied to apply the patch file. Restart the patch file in case you change%nyour mind.", nullptr,
     false},
    {32, 34, "Usage: Pelmo32.exe patch.utp [path]%n",
     "Usage: Pelmora [-t] [-auto] [-y] patchname [oldpath [newpath]]%n       Pelmora -i[=json] patchname%n", false},
    {33, 35, "Illegal option \"%s\" used!", nullptr, false},
    {34, 36,
     "%nError, access denied for moving this file to backup dir. Probably you%nare trying to overwrite a file "
     "currently in use. Please close all programs%nor reboot to make sure its not in use. Then apply the patch again!",
     nullptr, false},
    {35, 39, "Checking if the patch file can be applied.%n", "Checking if the patch file can be applied.%n%n", false},
    {36, 40, "(no matching source)%nWarning, cannot create new file, but patched software will work without it.%n",
     nullptr, true},
    {37, 41, "(no matching source)%nError, cannot create new file, but patched software won't work without it.%n",
     nullptr, true},
    {38, 42, "(ok, already updated)", "(ok, already updated)%n", true},
    {39, 43, "(ok)", "(ok)%n", true},
    {40, 44,
     "Registry lookup of patch target failed! This indicates that the target software%nis not correctly installed, "
     "please reinstall the software to be patched.",
     nullptr, false},
    {41, 45,
     "%nError, not enough free disk space: %s more bytes are needed in \"%m\". Make room there, then%napply the "
     "patch again.",
     nullptr, false},
    {42, 46,
     "%nError, \"%p\" is cut short: the file ends before its patch data does. Probably%nits download did not "
     "finish; download the patch again.",
     nullptr, false},
    {43, 47,
     "%nFile \"%m\" matches none of the versions this patch updates: it was changed%nafter it was installed, or it "
     "belongs to another release. Reinstall it,%nthen apply the patch again.",
     nullptr, false},
    {44, 48,
     "%nError, patching stopped on an unexpected error (%s).%nNo file was left half-written; please apply the patch "
     "again.",
     nullptr, false},
    {45, 49, "%nError, \"%m\" is in use: close %s, then apply the patch again.", nullptr, false},
    {46, 50,
     "%nError, \"%m\" is in use by another program. Close the programs that may use it (or%nrestart the "
     "computer), then apply the patch again.",
     nullptr, false},
    {47, 51,
     "%nError, you may not change \"%m\": applying this patch needs rights that you%ndo not have. Apply it again as "
     "an administrator, or as the owner of the files.",
     nullptr, false},
    {48, 52,
     "%nError, another patch is being applied to \"%s\" right now. Wait until it has%nfinished, then apply this "
     "patch again.",
     nullptr, false},
    {49, 53, "%nError, cannot write the log file \"%s\".", nullptr, false},
    {65, 70,
     "%n%nInterrupted: the patch was not applied. Every file it had changed is back as it%nwas, so the software is "
     "as before. Apply the patch again to update it.",
     nullptr, false},
    {66, 71,
     "%nAn earlier run of a patch on \"%s\" was interrupted before it finished: its%nchanges have been undone, "
     "and this run starts from the files as they were.%n",
     nullptr, false},
    {67, 72,
     "%nAn earlier run of a patch on \"%s\" was interrupted while it tidied up after%napplying the patch: this run "
     "completed the tidy-up.%n",
     nullptr, false},
    {68, 73,
     "%nAn earlier run of a patch on \"%s\" was interrupted. The next run that applies%na patch there (not a test) "
     "puts its changes right first.%n",
     nullptr, false},
    {69, 74,
     "%nError, an earlier run of a patch on \"%s\" was interrupted, and its changes%ncannot be undone now: a file "
     "is in use or may not be changed. Close the programs%nthat use it, then apply the patch again.",
     nullptr, false},
    {55, 61, "Error, the target path \"%s\" does not exist.", "%nError, the target path \"%s\" does not exist.", false},
    {-1, 29, "Press any key to continue ... ", nullptr, false},
    {-1, 30, "Comment for you from the creating people this patch file:%n", nullptr, false},
    {-1, 37,
     "%nThe patch could not be applied to \"%s\".%n%nYou may have copied the patch to the wrong directory or "
     "specified an%nincorrect path. This patch can search your computer for the target to%npatch. This takes a few "
     "minutes; would you like to start it now?",
     nullptr, false},
    {-1, 38, " (y/n) ", nullptr, false},
    {-1, 54, "%nPress any key to close this window ... ", nullptr, false},
    {-1, 60, "%nOk, the check succeeded; in test mode no file was changed.%n", nullptr, false},
};

constexpr int kWindowedNoPatchFile = 11;  // and 12, the wrong version: not in the stub's table
constexpr int kWindowedUsage = 32;

int numberOf(const Entry& e, Numbering numbering) {
  switch (numbering) {
    case Numbering::kConsole: return e.console;
    case Numbering::kWindowed: return e.windowed;
    case Numbering::kStub: break;
  }
  if (e.windowed == kWindowedNoPatchFile || e.windowed == kWindowedNoPatchFile + 1) return -1;
  return e.windowed > kWindowedNoPatchFile ? e.windowed - 2 : e.windowed;
}

const Entry* find(Numbering numbering, int number) {
  if (number < 0) return nullptr;
  for (const Entry& e : kTable) {
    if (numberOf(e, numbering) == number) return &e;
  }
  return nullptr;
}

std::string textOf(const Entry& e, Numbering numbering) {
  if (numberOf(e, numbering) < 0) return std::string();
  if (numbering == Numbering::kConsole) return e.console_ != nullptr ? e.console_ : e.text;
  if (numbering == Numbering::kStub && e.windowed == kWindowedUsage) return "Usage: Patchname.exe [path]%n";
  return e.appendToLine ? std::string(1, '\x01') + e.text : e.text;
}

}  // namespace

std::string messageText(Numbering numbering, int number) {
  const Entry* e = find(numbering, number);
  return e == nullptr ? std::string() : textOf(*e, numbering);
}

int otherNumber(Numbering numbering, int number) {
  const Entry* e = find(numbering, number);
  if (e == nullptr) return -1;
  return numbering == Numbering::kConsole ? e->windowed : e->console;
}

std::string displayValue(const std::string& value) {
  if (value == "." || value == ".\\") return "current directory";
  if (value.size() > 2 && value[0] == '.' && value[1] == '\\') return value.substr(2);
  return value;
}

std::string formatMessage(const std::string& text, const MessageValues& values) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[i + 1];
    if (c == 'n') {
      out += "\r\n";
    } else if (c == 'p') {
      out += displayValue(values.patchName);
    } else if (c == 'm') {
      out += displayValue(values.relName);
    } else if (c == 's') {
      out += displayValue(values.argument);
    } else {
      out += '%';  // the next character is expanded on its own
      continue;
    }
    ++i;
  }
  return out;
}

std::string numberedMessage(Numbering numbering, int consoleNumber, const MessageValues& values) {
  const Entry* e = find(Numbering::kConsole, consoleNumber);
  if (e == nullptr) return std::string();
  // A window shows names in the ANSI code page they are in; the console
  // shows OEM text.
  if (numbering != Numbering::kConsole) return formatMessage(textOf(*e, numbering), values);
  const MessageValues shown{platform::cp1252ToCp850(values.patchName), platform::cp1252ToCp850(values.argument),
                            platform::cp1252ToCp850(values.relName)};
  return formatMessage(textOf(*e, numbering), shown);
}

}  // namespace applier
