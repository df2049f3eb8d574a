// zip.exe for the Windows builds' packing tests, which run under Wine where
// no archiver is installed. It shows what the builder's command line gave
// it: its arguments, one per line, in packer-args.txt in the current
// directory. It writes "fake archive" into each argument that ends in
// ".zip" and exits with 3, as a packer does that complains but leaves its
// archive.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  std::FILE* log = std::fopen("packer-args.txt", "wb");
  for (int i = 1; i < argc; ++i) {
    if (log != nullptr) std::fprintf(log, "%s\n", argv[i]);
    const std::size_t n = std::strlen(argv[i]);
    if (n > 4 && std::strcmp(argv[i] + n - 4, ".zip") == 0) {
      if (std::FILE* archive = std::fopen(argv[i], "wb")) {
        std::fputs("fake archive", archive);
        std::fclose(archive);
      }
    }
  }
  if (log != nullptr) std::fclose(log);
  return 3;
}
