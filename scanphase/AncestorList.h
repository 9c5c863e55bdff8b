// The type of KzFind::m_ancestors: a list of texts with a presence index beside it.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <list>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

class KzFind;

// Behaves as std::list<std::string> and compares equal to one with the same texts. Every
// member that can change the list, or hands out a way to change it (a mutable iterator or
// reference), first drops the index, so the index is never consulted out of step with the
// list and never keeps a view into a node that was freed or reused. A mutable iterator
// or reference stays good for changes until the next collectAncestors or dumpAncestors.
// The list is held rather than inherited, so that nothing (std::erase, a cast to the
// base) can change it behind the index's back.
class AncestorList {
 public:
  using List = std::list<std::string>;
  using value_type = List::value_type;
  using size_type = List::size_type;
  using difference_type = List::difference_type;
  using reference = List::reference;
  using const_reference = List::const_reference;
  using iterator = List::iterator;
  using const_iterator = List::const_iterator;
  using reverse_iterator = List::reverse_iterator;
  using const_reverse_iterator = List::const_reverse_iterator;

  AncestorList() = default;
  AncestorList(std::initializer_list<std::string> texts) : m_list(texts) {}
  explicit AncestorList(List list) : m_list(std::move(list)) {}
  AncestorList(const AncestorList& other) : m_list(other.m_list) {}
  AncestorList(AncestorList&& other) noexcept : m_list(std::move(other.m_list)) { other.dropIndex(); }
  AncestorList& operator=(const AncestorList& other) { return assignList(other.m_list); }
  AncestorList& operator=(AncestorList&& other) noexcept {
    dropIndex();
    other.dropIndex();
    m_list = std::move(other.m_list);
    return *this;
  }
  AncestorList& operator=(const List& list) { return assignList(list); }
  AncestorList& operator=(std::initializer_list<std::string> texts) { return assignList(texts); }

  // Reading: no effect on the index.
  const List& list() const { return m_list; }
  operator const List&() const { return m_list; }
  bool empty() const { return m_list.empty(); }
  size_type size() const { return m_list.size(); }
  const_iterator begin() const { return m_list.begin(); }
  const_iterator end() const { return m_list.end(); }
  const_iterator cbegin() const { return m_list.cbegin(); }
  const_iterator cend() const { return m_list.cend(); }
  const_reverse_iterator rbegin() const { return m_list.rbegin(); }
  const_reverse_iterator rend() const { return m_list.rend(); }
  const_reference front() const { return m_list.front(); }
  const_reference back() const { return m_list.back(); }
  friend bool operator==(const AncestorList& a, const AncestorList& b) { return a.m_list == b.m_list; }
  friend bool operator==(const AncestorList& a, const List& b) { return a.m_list == b; }

  // Changing, or handing out a way to change: the index is dropped first.
  iterator begin() { return changing().begin(); }
  iterator end() { return changing().end(); }
  reverse_iterator rbegin() { return changing().rbegin(); }
  reverse_iterator rend() { return changing().rend(); }
  reference front() { return changing().front(); }
  reference back() { return changing().back(); }
  template <class... A> void assign(A&&... a) { changing().assign(std::forward<A>(a)...); }
  void assign(std::initializer_list<std::string> texts) { changing().assign(texts); }
  template <class... A> iterator insert(A&&... a) { return changing().insert(std::forward<A>(a)...); }
  iterator insert(const_iterator pos, std::initializer_list<std::string> texts) {
    return changing().insert(pos, texts);
  }
  template <class... A> iterator emplace(A&&... a) { return changing().emplace(std::forward<A>(a)...); }
  template <class... A> reference emplace_back(A&&... a) { return changing().emplace_back(std::forward<A>(a)...); }
  template <class... A> reference emplace_front(A&&... a) { return changing().emplace_front(std::forward<A>(a)...); }
  template <class T> void push_back(T&& text) { changing().push_back(std::forward<T>(text)); }
  template <class T> void push_front(T&& text) { changing().push_front(std::forward<T>(text)); }
  void pop_back() { changing().pop_back(); }
  void pop_front() { changing().pop_front(); }
  template <class... A> iterator erase(A&&... a) { return changing().erase(std::forward<A>(a)...); }
  void clear() { changing().clear(); }
  template <class... A> void resize(A&&... a) { changing().resize(std::forward<A>(a)...); }
  void swap(AncestorList& other) {
    other.dropIndex();
    changing().swap(other.m_list);
  }
  void swap(List& other) { changing().swap(other); }
  friend void swap(AncestorList& a, AncestorList& b) { a.swap(b); }
  template <class... A> void splice(const_iterator pos, AncestorList& other, A&&... a) {
    other.dropIndex();
    changing().splice(pos, other.m_list, std::forward<A>(a)...);
  }
  template <class... A> void splice(const_iterator pos, List& other, A&&... a) {
    changing().splice(pos, other, std::forward<A>(a)...);
  }
  template <class... A> void merge(AncestorList& other, A&&... a) {
    other.dropIndex();
    changing().merge(other.m_list, std::forward<A>(a)...);
  }
  template <class... A> void merge(List& other, A&&... a) { changing().merge(other, std::forward<A>(a)...); }
  size_type remove(const std::string& text) { return changing().remove(text); }
  template <class P> size_type remove_if(P&& pred) { return changing().remove_if(std::forward<P>(pred)); }
  void reverse() { changing().reverse(); }
  template <class... A> size_type unique(A&&... a) { return changing().unique(std::forward<A>(a)...); }
  template <class... A> void sort(A&&... a) { changing().sort(std::forward<A>(a)...); }

 private:
  friend class KzFind;

  List& changing() {
    dropIndex();
    return m_list;
  }
  void dropIndex() {
    if (!m_indexed) return;
    m_index.clear();  // the views are never read again: clear() does not look at them
    m_indexed = false;
  }
  template <class L> AncestorList& assignList(const L& texts) {
    changing() = texts;
    return *this;
  }

  List m_list;
  // Views into m_list's own nodes, and whether they are in step with it. Kept by KzFind.
  std::unordered_set<std::string_view> m_index;
  bool m_indexed = false;
  bool m_closed = true;  // every parent of a listed directory is listed too
};
