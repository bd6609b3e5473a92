// The file operations of CompanionBase on the platform's file layer.
#include "companion_files.h"

#include "file.h"

namespace companion {

void CompanionFiles::createDirectories(const std::string& path) { files::createDirectories(path); }

uint64_t CompanionFiles::fileSize(const std::string& path) { return files::fileSize(path); }

void CompanionFiles::removeFile(const std::string& path) { files::remove(path); }

void CompanionFiles::renameFile(const std::string& from, const std::string& to) { files::rename(from, to); }

bool CompanionFiles::fileExists(const std::string& path) { return files::exists(path); }

}  // namespace companion
