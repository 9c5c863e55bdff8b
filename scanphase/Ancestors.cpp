// Ancestor directory records: the directories above the recorded files.
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "scanphase/KzFind.h"

namespace {

bool isTop(const CLoString& dir) { return dir.empty() || CLoPath(dir.c_str()).IsRoot(); }

}  // namespace

void KzFind::syncAncestorIndex() {
  // The list is a public member: a subclass may clear it, add or remove entries or
  // reorder it between calls. A different size or last node means it was touched.
  const std::string* back = m_ancestors.empty() ? nullptr : &m_ancestors.back();
  if (m_ancestorIndexCount == m_ancestors.size() && m_ancestorIndexBack == back) return;
  m_ancestorIndex.clear();
  m_ancestorIndex.reserve(m_ancestors.size());
  for (const std::string& dir : m_ancestors) m_ancestorIndex.insert(dir);
  // Entries added by hand may lack their parents; then no walk may stop early.
  m_ancestorsClosed = true;
  for (const std::string& dir : m_ancestors) {
    CLoString parent = CLoPath::GetParent(dir.c_str());
    if (!isTop(parent) && !m_ancestorIndex.contains(parent.str())) {
      m_ancestorsClosed = false;
      break;
    }
  }
  m_ancestorIndexCount = m_ancestors.size();
  m_ancestorIndexBack = back;
}

int KzFind::collectAncestors(const char* path) {
  if (!path) return 0;
  syncAncestorIndex();
  // The empty text is above the root (or the parent of a bare name): never a directory.
  for (CLoString dir = CLoPath::GetParent(path); !isTop(dir); dir = CLoPath::GetParent(dir.c_str())) {
    if (m_ancestorIndex.contains(dir.str())) {
      // While the list holds the parents of all its entries, the rest of the way up is
      // known already.
      if (m_ancestorsClosed) break;
      continue;
    }
    m_ancestors.push_back(dir.str());
    m_ancestorIndex.insert(m_ancestors.back());
  }
  m_ancestorIndexCount = m_ancestors.size();
  m_ancestorIndexBack = m_ancestors.empty() ? nullptr : &m_ancestors.back();
  return 0;
}

int KzFind::dumpAncestors() {
  m_event.debug(1, "ADD Parent Dir ancestors...");
  // The directories this call has written. Views into the list's own nodes, which stay
  // put until the list is emptied below: copies would double the memory of a deep tree,
  // whose ancestor texts grow with the square of its depth.
  std::unordered_set<std::string_view> written;
  for (const std::string& dir : m_ancestors) {
    if (written.contains(dir)) continue;
    DecideIfNewMountPoint(dir.c_str(), false);
    if (!switchCollectFile()) continue;  // logged; the next entry tries the open again
    std::string line = escapeFileName(dir.c_str());
    line.resize(strlen(line.c_str()));  // C text, as every line of the outputs
    line.push_back('\n');
    if (fwrite(line.data(), 1, line.size(), m_collectFp) != line.size() || ferror(m_collectFp)) {
      m_event.debug(1, "Could not write ancestor '%s' to %s, errno %d", dir.c_str(), m_collectPath.c_str(), errno);
      m_outputLost = true;
      continue;
    }
    ++m_numEntries;
    written.insert(dir);
  }
  m_ancestors.clear();
  m_ancestorIndex.clear();
  m_ancestorIndexCount = 0;
  m_ancestorIndexBack = nullptr;
  m_ancestorsClosed = true;
  return 0;
}
