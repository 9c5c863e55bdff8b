// The platform's string, path and directory helpers.
#pragma once

#include <string>

#include "CLoError.h"

class CLoString {
 public:
  CLoString() = default;
  CLoString(const char* text) : m_s(text ? text : "") {}  // NOLINT: implicit by design
  CLoString(std::string text) : m_s(std::move(text)) {}   // NOLINT

  const char* c_str() const { return m_s.c_str(); }
  operator char const*() const { return m_s.c_str(); }  // NOLINT
  const std::string& str() const { return m_s; }
  size_t length() const { return m_s.size(); }
  bool empty() const { return m_s.empty(); }

  bool operator==(const char* text) const { return m_s == (text ? text : ""); }
  bool operator==(const CLoString& other) const { return m_s == other.m_s; }

  CLoString& operator+=(const char* text) {
    if (text) m_s += text;
    return *this;
  }
  CLoString& operator+=(const CLoString& other) {
    m_s += other.m_s;
    return *this;
  }
  // Append the number in decimal ("%d", "%ld", "%lld").
  CLoString operator+(int value) const;
  CLoString operator+(long value) const;
  CLoString operator+(long long value) const;

 private:
  std::string m_s;
};

struct CLoPath {
  explicit CLoPath(const char* path) : m_path(path ? path : "") {}
  // True for "/" (and only for it).
  bool IsRoot() const;
  // dir + "/" + name, without doubling a trailing "/".
  static CLoString Append(const char* dir, const char* name);
  // Parent of an absolute path: "/a/b" -> "/a", "/a" -> "/", "/" -> "". Trailing "/" ignored.
  // A relative path without "/" has the parent "".
  static CLoString GetParent(const char* path);

 private:
  std::string m_path;
};

struct SLoDirEntry {
  CLoString name;
};

// A listing of one directory. Not recursive.
class CLoDirectory {
 public:
  CLoDirectory() = default;
  ~CLoDirectory();
  CLoDirectory(const CLoDirectory&) = delete;
  CLoDirectory& operator=(const CLoDirectory&) = delete;

  // pattern "*" lists everything; an error (errno kind) when the directory cannot be opened.
  CLoError Open(const char* directory, const char* pattern, bool recursive);
  // Next entry ("." and ".." included); end set when none is left.
  CLoError GetEntry(SLoDirEntry& entry, bool& end);
  CLoError Close();

 private:
  void* m_dir = nullptr;  // DIR*
};

struct ComparePath {
  enum { Unrelated = 0, Same = 1, Inside = 2, Contains = 3 };
  // How path stands to base: Inside (2) when path lies below base.
  static int Check(const char* base, const char* path);
};
