// File helpers: escaping of paths, UTF-8 opens, the time preserver.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

// The form of a path in the collect and directory-change files. Ordinary paths come
// back unchanged; "\" becomes "\\", newline "\n", carriage return "\r" and "|" "\p",
// so the result never holds a newline, a carriage return or "|".
std::string escapeFileName(const char* path);
// The length of path when its escaped form is path itself (nothing in it to escape),
// else std::string::npos: such a path can be written as it is, without a copy.
size_t unescapedLength(const char* path);
// Appends the escaped form to out (no allocation when out has room).
void appendEscapedFileName(std::string& out, std::string_view path);
// The exact inverse of escapeFileName.
std::string unescapeFileName(std::string_view escaped);

// fopen and lstat for UTF-8 paths, through the current platform.
FILE* fopen_utf(const char* path, const char* mode);
int lstat_utf(const char* path, struct stat* st);
inline int lstat_utf(const std::string& path, struct stat& st) { return lstat_utf(path.c_str(), &st); }

// What a property preserver captured of one entry.
class InodePropPreserverImpl {
 public:
  virtual ~InodePropPreserverImpl() = default;
  virtual void reset() = 0;
  virtual std::string getname() = 0;
  virtual int getstatresult() = 0;  // 0 captured, 1 captured symlink, else failed
  virtual int64_t getatime() = 0;
  virtual int64_t getmtime() = 0;
  virtual uint32_t getinodeuid() = 0;
  virtual uint32_t getmode() = 0;
  // The nanoseconds of the captured access time; 0 from a preserver that keeps seconds only.
  virtual int64_t getatimensec() { return 0; }
};

// Takes over the preserver. Its destruction puts the captured access time back, to the
// nanosecond and without following links, when the capture succeeded, the entry is not
// a symbolic link and its access time has moved since. The modification time is never
// written: examining a file does not change it, and every write of a time moves the
// ctime, which would make the file look changed to the next incremental scan.
class AMTimePreserver {
 public:
  explicit AMTimePreserver(InodePropPreserverImpl* preserver) : m_preserver(preserver) {}
  ~AMTimePreserver();
  AMTimePreserver(const AMTimePreserver&) = delete;
  AMTimePreserver& operator=(const AMTimePreserver&) = delete;

 private:
  InodePropPreserverImpl* m_preserver;
};
