#include "settings.h"

#include <cstdio>
#include <string>
#include <vector>

#include "settings_fs.h"
#include "settings_text.h"

SettingsMap settingsMap;
const char userKey[] = "user";
SaveStep failSaveStepForTesting = SaveStep::none;

namespace {

// Reads the whole file in binary mode, so both builds see the same bytes.
// After a read error only the complete lines read before it count.
bool readWholeFile(const char* path, std::string& bytes) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;) bytes.append(chunk, got);
  if (std::ferror(file) != 0) bytes.erase(bytes.rfind('\n') + 1);  // npos + 1 == 0: nothing complete
  std::fclose(file);  // NOLINT(cert-err33-c): read only; a failed close loses nothing
  return true;
}

void echo(const std::string& line) {
  // Diagnostics only: a failed write to standard output is passed over.
  std::fwrite(line.data(), 1, line.size(), stdout);  // NOLINT(cert-err33-c)
  std::fflush(stdout);                               // NOLINT(cert-err33-c)
}

bool failsAt(SaveStep step) { return failSaveStepForTesting == step; }

std::FILE* openTemporary(const std::string& path) {
  if (failsAt(SaveStep::openTemporary)) return nullptr;
  return std::fopen(path.c_str(), "wb");
}

bool writeBytes(std::FILE* file, const std::string& bytes) {
  if (failsAt(SaveStep::write)) {
    std::fwrite(bytes.data(), 1, bytes.size() / 2, file);  // NOLINT(cert-err33-c): half, as a full disk would
    return false;
  }
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

bool flushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0 || failsAt(SaveStep::flush)) return false;
  return syncFile(file) && !failsAt(SaveStep::sync);
}

// Writes, flushes and closes; true only when every byte reached the disk.
bool writeAndClose(std::FILE* file, const std::string& bytes) {
  bool written = writeBytes(file, bytes) && flushToDisk(file);
  bool closed = std::fclose(file) == 0 && !failsAt(SaveStep::close);
  return written && closed;
}

bool replaceWith(const std::string& temporary, const char* path) {
  return !failsAt(SaveStep::replace) && replaceFile(temporary.c_str(), path);
}

// Next to the target, so that the rename stays within one file system; the
// process id keeps two running copies from writing into the same file.
std::string temporaryPathFor(const char* path) {
  return std::string(path) + "." + std::to_string(currentProcessId()) + ".tmp";
}

}  // namespace

void loadSettings(const char* path, SettingsMap& settings) {
  std::string bytes;
  if (!readWholeFile(path, bytes)) return;
  std::vector<std::string> echoLines;
  parseSettingsText(bytes, settings, echoLines);
  for (const std::string& line : echoLines) echo(line);
}

// Never truncates the old file: the new content goes to a temporary file that
// replaces it only once it is wholly on the disk.
void saveSettings(const char* path, const SettingsMap& settings) {
  std::string temporary = temporaryPathFor(path);
  std::FILE* file = openTemporary(temporary);
  if (file == nullptr) return;
  if (writeAndClose(file, formatSettingsText(settings)) && replaceWith(temporary, path)) {
    syncDirectoryOf(path);
    return;
  }
  std::remove(temporary.c_str());  // NOLINT(cert-err33-c): a stray temporary file is harmless; the old file is whole
}
