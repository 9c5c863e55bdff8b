// Ancestor directory records: the directories above the recorded files.
#include <cerrno>
#include <string_view>
#include <unordered_set>

#include "scanphase/Escaping.h"
#include "scanphase/KzFind.h"

namespace {

bool isTop(const CLoString& dir) { return dir.empty() || CLoPath(dir.c_str()).IsRoot(); }

}  // namespace

void KzFind::syncAncestorIndex() {
  // The list drops its index on any change a subclass makes; rebuilt here, once per change.
  AncestorList& list = m_ancestors;
  if (list.m_indexed) return;
  list.m_index.clear();
  list.m_index.reserve(list.m_list.size());
  for (const std::string& dir : list.m_list) list.m_index.insert(dir);
  // Entries added by hand may lack their parents; then no walk may stop early.
  list.m_closed = true;
  for (const std::string& dir : list.m_list) {
    CLoString parent = CLoPath::GetParent(dir.c_str());
    if (!isTop(parent) && !list.m_index.contains(parent.str())) {
      list.m_closed = false;
      break;
    }
  }
  list.m_indexed = true;
}

int KzFind::collectAncestors(const char* path) {
  if (!path) return 0;
  syncAncestorIndex();
  AncestorList& list = m_ancestors;
  // The empty text is above the root (or the parent of a bare name): never a directory.
  for (CLoString dir = CLoPath::GetParent(path); !isTop(dir); dir = CLoPath::GetParent(dir.c_str())) {
    if (list.m_index.contains(dir.str())) {
      // While the list holds the parents of all its entries, the rest of the way up is
      // known already.
      if (list.m_closed) break;
      continue;
    }
    // Appended past the list's own members, so the index stays in step.
    list.m_list.push_back(dir.str());
    list.m_index.insert(list.m_list.back());
  }
  return 0;
}

int KzFind::dumpAncestors() {
  m_event.debug(1, "ADD Parent Dir ancestors...");
  // The directories this call has written. Views into the list's own nodes, which stay
  // put until the list is emptied below: copies would double the memory of a deep tree,
  // whose ancestor texts grow with the square of its depth.
  std::unordered_set<std::string_view> written;
  for (const std::string& dir : m_ancestors.list()) {
    if (written.contains(dir)) continue;
    DecideIfNewMountPoint(dir.c_str(), false);
    if (!switchCollectFile()) continue;  // logged; the next entry tries the open again
    // C text, as every line of the outputs.
    if (!kzfind::detail::putEscaped(*this, dir.c_str(), m_collectFp) || fputc_unlocked('\n', m_collectFp) == EOF ||
        ferror_unlocked(m_collectFp)) {
      m_event.debug(1, "Could not write ancestor '%s' to %s, errno %d", dir.c_str(), m_collectPath.c_str(), errno);
      m_outputLost = true;
      continue;
    }
    ++m_numEntries;
    written.insert(dir);
  }
  m_ancestors.clear();
  return 0;
}
