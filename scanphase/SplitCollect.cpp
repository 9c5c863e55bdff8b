// Preparing the collect files for the backup phase: each collect file that holds
// data is put aside as a scratch copy, rewritten without its size fields (and, when the
// subclient asks for parallel streams, cut into numbered pieces), and listed in
// "split_config".
//
// Cutting is worth it only when the subclient allows it and there are more streams
// than collect files with data: the bytes recorded over all collect files are then
// shared out at ceil(total / streams) per piece, a piece ending after the line that
// reaches that target, never after a file's last line (no empty piece), and never
// making more pieces plus collect files than there are streams.
//
// A collect file of ours that ends with a newline is moved aside as its own scratch copy
// (the copy would hold the same bytes), and a piece moved aside is moved back (its
// rewrite would copy it unchanged); otherwise the copy pass and a piece's rewrite let
// the kernel copy the bytes where it can. The rewrite pass reads a scratch copy of ours
// through 4 MiB mapped windows (others through read()), writes through a 1 MiB buffer
// and holds one line at a time, so the cost is linear in the bytes and the memory is
// bounded by the window and the longest line. Every write and close is checked: a full
// disk fails the run instead of leaving short files behind.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "hostservices/SafeOpen.h"
#include "scanphase/KzFind.h"
#include "scanphase/Location.h"
#include "scanphase/SplitConfigSeam.h"

namespace {

constexpr const char* kSplitSig = "virtual CLoError KzFind::splitCollectFiles()";
constexpr size_t kIoChunk = size_t{1} << 20;

kzfind_internal::SplitConfigOpener g_splitConfigOpener = nullptr;

// Not through the platform, as the phase always made it; but never through a link left
// in its place, and private like the collect files it describes.
FILE* openSplitConfig(const char* path) {
  return g_splitConfigOpener ? g_splitConfigOpener(path, "w") : kzhost::openStreamAt(AT_FDCWD, path, "w");
}

// Reads a file in large chunks; hands out whole chunks (copy pass) or one line at a
// time (rewrite pass). A line handed out stays valid until the next call.
class ChunkedLineReader {
 public:
  ChunkedLineReader() : m_buf(kzhost::pageAlignedBuffer(kIoChunk)) {}
  ~ChunkedLineReader() { close(); }
  ChunkedLineReader(const ChunkedLineReader&) = delete;
  ChunkedLineReader& operator=(const ChunkedLineReader&) = delete;

  // false with errno set when the file cannot be opened. Clears all earlier state.
  bool open(const char* path) {
    close();
    // Like every job file: never through a link, and a FIFO cannot stop the split.
    m_fd = kzhost::openFileAt(AT_FDCWD, path, O_RDONLY | O_NONBLOCK);
    return m_fd >= 0;
  }

  // Lines are then read through a moving mapped window instead of read(), which saves
  // copying every byte once more (the rewrite read its input about a fifth faster on
  // the machine we measured). Only for a plain file of ours that no other user may
  // write, since a file cut short under a mapping would kill the process. Otherwise,
  // or when the kernel refuses, lines come through read() as before.
  void mapLines() {
    struct stat st;
    if (m_fd < 0 || fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || st.st_size <= 0)
      return;
    m_mapSize = st.st_size;
    m_mapNext = 0;
  }

  void close() {
    unmap();
    m_mapSize = -1;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_data = m_buf.get();
    m_pos = m_end = 0;
    m_eof = false;
    m_carry.clear();
    m_carryOut = false;
  }

  // The next chunk: its length, 0 at the end, -1 on a read error (errno set).
  long nextChunk(const char*& data) {
    if (m_eof || !refill()) return m_eof ? 0 : -1;
    if (m_eof) return 0;
    data = m_data;
    m_pos = m_end;
    return static_cast<long>(m_end);
  }

  // Copies the rest of the file to outFd inside the kernel (no pass through user
  // memory). The bytes copied, or -1 with errno set; unsupported is set, with nothing
  // copied, when the kernel cannot copy between these two files.
  long long copyTo(int outFd, bool& unsupported) {
    unsupported = false;
    long long copied = 0;
    for (;;) {
      const ssize_t n = copy_file_range(m_fd, nullptr, outFd, nullptr, size_t{1} << 30, 0);
      if (n > 0) {
        copied += n;
        continue;
      }
      // Nothing at all is no proof of an empty file (some file systems copy nothing):
      // the read path decides, so a collect file is never passed over as empty.
      if (n == 0) {
        unsupported = copied == 0;
        return copied;
      }
      if (errno == EINTR) continue;
      if (copied == 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
                          errno == ETXTBSY || errno == EPERM)) {
        unsupported = true;
        return 0;
      }
      return -1;
    }
  }

  int fd() const { return m_fd; }

  // The byte at offset, or -1 with errno set.
  int byteAt(long long offset) {
    char c;
    ssize_t n;
    do {
      n = pread(m_fd, &c, 1, offset);
    } while (n < 0 && errno == EINTR);
    if (n == 1) return static_cast<unsigned char>(c);
    if (n == 0) errno = EIO;  // the file shrank under us
    return -1;
  }

  // The bytes of the current chunk not handed out yet, when no line is carried over
  // from the chunk before; they stay valid until the next call that reads.
  std::string_view buffered() const {
    if (m_carryOut || !m_carry.empty() || m_pos >= m_end) return {};
    return {m_data + m_pos, m_end - m_pos};
  }
  // Marks the first n bytes of buffered() as handed out.
  void consume(size_t n) { m_pos += n; }

  // 1 with line set (without its newline), 0 at the end, -1 on a read error (errno set).
  // A last line without a newline is still a line.
  int nextLine(std::string_view& line) {
    if (m_carryOut) {
      m_carry.clear();
      m_carryOut = false;
    }
    for (;;) {
      if (m_pos < m_end) {
        const char* start = m_data + m_pos;
        const size_t avail = m_end - m_pos;
        const char* nl = static_cast<const char*>(memchr(start, '\n', avail));
        if (nl) {
          const size_t n = static_cast<size_t>(nl - start);
          m_pos += n + 1;
          if (m_carry.empty()) {
            line = std::string_view(start, n);
          } else {
            m_carry.append(start, n);
            line = m_carry;
            m_carryOut = true;
          }
          return 1;
        }
        // A line longer than what is left of the chunk: keep its head.
        m_carry.append(start, avail);
        m_pos = m_end;
      }
      if (m_eof) {
        if (m_carry.empty()) return 0;
        line = m_carry;
        m_carryOut = true;
        return 1;
      }
      if (!refill()) return -1;
    }
  }

 private:
  bool refill() {
    if (m_mapSize >= 0) return remap();
    ssize_t n;
    do {
      n = ::read(m_fd, m_buf.get(), kIoChunk);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return false;
    m_data = m_buf.get();
    m_pos = 0;
    m_end = static_cast<size_t>(n);
    m_eof = n == 0;
    return true;
  }

  // The next window of the mapped file; falls back to read() from there on when the
  // kernel will not map it.
  bool remap() {
    unmap();
    m_pos = m_end = 0;
    if (m_mapNext >= m_mapSize) {
      m_eof = true;
      return true;
    }
    const size_t len = static_cast<size_t>(std::min<long long>(kMapWindow, m_mapSize - m_mapNext));
    void* p = mmap(nullptr, len, PROT_READ, MAP_SHARED, m_fd, static_cast<off_t>(m_mapNext));
    if (p == MAP_FAILED) {
      if (lseek(m_fd, static_cast<off_t>(m_mapNext), SEEK_SET) < 0) return false;
      m_mapSize = -1;
      return refill();
    }
    m_window = p;
    m_windowLen = len;
    m_data = static_cast<const char*>(p);
    m_end = len;
    m_mapNext += static_cast<long long>(len);
    return true;
  }

  void unmap() {
    if (m_window) munmap(m_window, m_windowLen);
    m_window = nullptr;
    m_data = m_buf.get();
  }

  // Page-aligned on every machine we run on, and small enough that a long collect
  // file never counts whole in the resident memory.
  static constexpr size_t kMapWindow = size_t{4} << 20;

  int m_fd = -1;
  kzhost::PageBuffer m_buf;  // on a page: see pageAlignedBuffer
  const char* m_data = m_buf.get();  // the chunk or window handed out
  void* m_window = nullptr;
  size_t m_windowLen = 0;
  long long m_mapSize = -1;  // the file's size while lines come through windows
  long long m_mapNext = 0;   // the offset of the next window
  size_t m_pos = 0;
  size_t m_end = 0;
  bool m_eof = false;
  std::string m_carry;  // the head of a line that spans chunks
  bool m_carryOut = false;
};

// Gathers small writes into large ones over a stdio stream. Every failure is kept:
// a failed write or close makes close() return false with errno set.
class BufferedWriter {
 public:
  BufferedWriter() : m_buf(new char[kIoChunk]) {}
  ~BufferedWriter() { abandon(); }
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  // Takes over fp; stdio's own buffer is dropped, the writes are already large.
  void attach(FILE* fp) {
    abandon();
    m_fp = fp;
    setvbuf(m_fp, nullptr, _IONBF, 0);
    m_len = 0;
    m_errno = 0;
  }

  bool write(const char* data, size_t n) {
    if (m_errno) return fail();
    if (n > kIoChunk - m_len) {
      if (!flush()) return false;
      if (n >= kIoChunk) return put(data, n);
    }
    memcpy(m_buf.get() + m_len, data, n);
    m_len += n;
    return true;
  }

  // The descriptor under the stream, for copies made by the kernel; nothing may be buffered.
  int fd() const { return fileno(m_fp); }

  // A line's bytes followed by a newline.
  bool writeLine(const char* data, size_t n) {
    if (n < kIoChunk - m_len) {
      if (m_errno) return fail();
      memcpy(m_buf.get() + m_len, data, n);
      m_buf[m_len + n] = '\n';
      m_len += n + 1;
      return true;
    }
    return write(data, n) && write("\n", 1);
  }

  // Flushes and closes; false with errno set when anything written was lost.
  bool close() {
    if (!m_fp) return true;
    bool ok = flush();
    if (ok && ferror(m_fp)) {
      ok = false;
      m_errno = EIO;
    }
    const int rc = fclose(m_fp);
    m_fp = nullptr;
    if (ok && rc != 0) {
      ok = false;
      m_errno = errno ? errno : EIO;
    }
    m_len = 0;
    if (!ok) errno = m_errno;
    return ok;
  }

  // Closes without looking at the outcome (the run has already failed).
  void abandon() {
    if (m_fp) fclose(m_fp);
    m_fp = nullptr;
    m_len = 0;
  }

 private:
  bool flush() {
    if (m_errno) return fail();
    if (m_len == 0) return true;
    const size_t n = m_len;
    m_len = 0;
    return put(m_buf.get(), n);
  }

  bool put(const char* data, size_t n) {
    errno = 0;
    if (fwrite(data, 1, n, m_fp) != n) {
      m_errno = errno ? errno : EIO;
      return fail();
    }
    return true;
  }

  bool fail() const {
    errno = m_errno;
    return false;
  }

  FILE* m_fp = nullptr;
  std::unique_ptr<char[]> m_buf;
  size_t m_len = 0;
  int m_errno = 0;  // the first failure; later writes are refused with it
};

// The size field of a line, read the way atoll reads it; saturates instead of overflowing.
long long parseSize(const char* p, const char* end) {
  // The field as the writer makes it, up to 18 digits, cannot overflow: no checks a digit.
  if (const size_t n = static_cast<size_t>(end - p); n - 1 < 18) {
    unsigned long long value = 0;
    size_t i = 0;
    for (unsigned digit; i < n && (digit = static_cast<unsigned char>(p[i]) - unsigned{'0'}) <= 9; ++i)
      value = value * 10 + digit;
    if (i == n) return static_cast<long long>(value);
  }
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  unsigned long long value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (static_cast<unsigned long long>(LLONG_MAX) - digit) / 10) return negative ? LLONG_MIN : LLONG_MAX;
    value = value * 10 + digit;
  }
  const long long v = static_cast<long long>(value);
  return negative ? -v : v;
}

// Calls line(begin, bar, end) for each whole line of [p, p + n): end is its newline, bar
// its last "|" or null. Stops early when line returns false (after that line). Returns
// the bytes of the lines handed out; a line without its newline is left to the caller.
// Newlines and bars are found together, 64 bytes at a time, so the bar costs no second
// pass and a line costs no call of its own (twice as fast as memchr and a backward
// search a line on the machine we measured).
template <typename Line>
size_t scanLines(const char* p, size_t n, Line&& line) {
  const char* start = p;  // of the current line
  const char* bar = nullptr;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i nlByte = _mm_set1_epi8('\n');
  const __m128i barByte = _mm_set1_epi8('|');
  auto masks = [&](const char* q, uint64_t& nls, uint64_t& bars) {
    nls = bars = 0;
    for (int j = 0; j < 4; ++j) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 16 * j));
      nls |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, nlByte)))) << (16 * j);
      bars |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, barByte)))) << (16 * j);
    }
  };
  for (; i + 64 <= n; i += 64) {
    uint64_t nls, bars;
    masks(p + i, nls, bars);
    while (nls) {
      const unsigned k = static_cast<unsigned>(__builtin_ctzll(nls));
      const uint64_t upTo = (uint64_t{2} << k) - 1;  // bits 0..k (k = 63 wraps to all ones)
      if (const uint64_t before = bars & (upTo >> 1)) bar = p + i + (63 - __builtin_clzll(before));
      const char* end = p + i + k;
      const bool more = line(start, bar, end);
      start = end + 1;
      bar = nullptr;
      if (!more) return static_cast<size_t>(start - p);
      bars &= ~upTo;
      nls &= nls - 1;
    }
    if (bars) bar = p + i + (63 - __builtin_clzll(bars));
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '|') {
      bar = p + i;
    } else if (p[i] == '\n') {
      const bool more = line(start, bar, p + i);
      start = p + i + 1;
      bar = nullptr;
      if (!more) break;
    }
  }
  return static_cast<size_t>(start - p);
}

// The stream is the empty regular file now at path, on device dev: what the platform's
// "w" open just made there, and nothing a redirecting platform writes elsewhere.
bool isEmptyFileAt(FILE* stream, const std::string& path, dev_t dev) {
  struct stat made, there;
  return fstat(fileno(stream), &made) == 0 && S_ISREG(made.st_mode) && made.st_size == 0 && made.st_dev == dev &&
         lstat(path.c_str(), &there) == 0 && there.st_dev == made.st_dev && there.st_ino == made.st_ino;
}

// One run of splitCollectFiles over a scan phase object.
class CollectSplitter {
 public:
  explicit CollectSplitter(KzFind& scan) : m_scan(scan) {}
  ~CollectSplitter() {
    if (m_config) fclose(m_config);
  }
  CollectSplitter(const CollectSplitter&) = delete;
  CollectSplitter& operator=(const CollectSplitter&) = delete;

  CLoError run();

 private:
  std::string numberedPath(int32_t n, const char* suffix) const {
    std::string p = m_scan.m_collectDir;
    p += '/';
    p += m_scan.m_collectBase;
    p += std::to_string(n);
    p += suffix;
    return p;
  }
  std::string collectPath(int32_t n) const { return numberedPath(n, ("." + m_scan.m_collectExt).c_str()); }
  std::string scratchPath(int32_t n) const { return numberedPath(n, ".tmp"); }

  void planCuts();
  CLoError processFile(int32_t i);
  CLoError rewrite(const std::string& scratch);

  // Failures: each takes the errno of the failed call, closes "split_config", logs
  // where it should, and builds the error.
  CLoError failOpen(int err, const std::string& path, bool log) {
    closeConfigQuietly();
    if (log) m_scan.m_event.Error(kSplitSig, "Failed to open %s", path.c_str());
    return FXErrorUtil::ErrorErrNo(KZ_LOCATION(kSplitSig), err, "Failed to open %s", path.c_str());
  }
  enum class Move { Copy, Moved, Lost };  // Lost: the empty scratch file is gone, nothing moved
  // mode: the permissions of the file moved, for the one made in its place.
  Move moveAside(const std::string& path, const std::string& scratch, FILE* copy, mode_t& mode);
  enum class Io { None, Read, Write };
  Io copyRest(bool& hasData);
  Io moveBack(const std::string& path, const std::string& scratch, FILE* out);
  CLoError listFile(int32_t i, int32_t nextAtTurn);
  CLoError failIo(int err, Io io, const std::string& path) {
    m_reader.close();
    m_out.abandon();
    closeConfigQuietly();
    if (io == Io::Read) {
      m_scan.m_event.Error(kSplitSig, "Failed to read %s", path.c_str());
      return FXErrorUtil::ErrorErrNo(KZ_LOCATION(kSplitSig), err, "Failed to read %s", path.c_str());
    }
    m_scan.m_event.Error(kSplitSig, "Failed to write %s", path.c_str());
    return FXErrorUtil::ErrorErrNo(KZ_LOCATION(kSplitSig), err, "Failed to write %s", path.c_str());
  }
  void closeConfigQuietly() {
    if (m_config) fclose(m_config);
    m_config = nullptr;
  }

  KzFind& m_scan;
  std::string m_configPath;
  FILE* m_config = nullptr;
  ChunkedLineReader m_reader;
  BufferedWriter m_out;

  // Cutting: a piece ends after the line that brings its bytes to m_target.
  bool m_cutting = false;
  long long m_target = 0;   // SizePerCollectFile; 0 when nothing is cut
  long long m_cutsLeft = 0;  // pieces that may still be made without exceeding the streams
  int32_t m_firstPiece = 0;  // numbers from here on are pieces made by this run
  bool m_threeNumberLines = false;
};

CLoError CollectSplitter::run() {
  m_configPath = m_scan.m_collectDir + "/split_config";
  unlink(m_configPath.c_str());
  m_config = openSplitConfig(m_configPath.c_str());
  if (!m_config) return failOpen(errno, m_configPath, false);

  m_firstPiece = m_scan.m_nextCollectNum;
  planCuts();

  for (int32_t i = 1; i < m_scan.m_nextCollectNum; ++i) {
    CLoError e = processFile(i);
    if (e.IsError()) return e;
  }

  FILE* config = m_config;
  m_config = nullptr;
  const bool bad = ferror(config) != 0;
  const int rc = fclose(config);
  if (bad || rc != 0) {
    const int err = rc != 0 && errno ? errno : EIO;
    return failIo(err, Io::Write, m_configPath);
  }
  return CLoError::Success();
}

void CollectSplitter::planCuts() {
  const int32_t handedOut = m_scan.m_nextCollectNum - 1;
  long long total = 0;
  int32_t withData = 0;
  for (int32_t n = 1; n <= handedOut; ++n) {
    const long long size = m_scan.m_collectInfo[n].totalSize;
    if (size <= 0) continue;
    ++withData;
    if (__builtin_add_overflow(total, size, &total)) total = LLONG_MAX;
  }
  const int32_t streams = m_scan.m_numStreams;
  if (!m_scan.m_subclientFlag || streams <= withData || total <= 0) return;
  // Pieces and collect files together never exceed the stream count.
  m_cutsLeft = static_cast<long long>(streams) - handedOut;
  if (m_cutsLeft <= 0) return;
  m_target = total / streams + (total % streams != 0 ? 1 : 0);
  m_cutting = true;
}

CLoError CollectSplitter::processFile(int32_t i) {
  m_scan.m_curCollectNum = i;
  m_scan.m_collectPath = collectPath(i);
  const std::string path = m_scan.m_collectPath;  // m_collectPath moves on when the file is cut
  m_scan.m_event.DebugLvl(kSplitSig, 0, "Processing file %d :%s:", i, path.c_str());

  // Copy pass: a line-for-line copy, so a last line without a newline gains one.
  if (!m_reader.open(path.c_str())) return failOpen(errno, path, true);
  const std::string scratch = scratchPath(i);
  FILE* copy = fopen_utf(scratch.c_str(), "w");
  if (!copy) {
    const int err = errno;
    m_reader.close();
    return failOpen(err, scratch, true);
  }
  bool hasData = false;
  mode_t mode = 0;
  const Move move = moveAside(path, scratch, copy, mode);
  const bool moved = move == Move::Moved;
  if (move != Move::Copy) fclose(copy);  // the empty file it made is gone
  if (move == Move::Lost && !(copy = fopen_utf(scratch.c_str(), "w"))) {
    const int err = errno;
    m_reader.close();
    return failOpen(err, scratch, true);
  }
  if (moved) {
    hasData = true;
  } else {
    m_out.attach(copy);
    const Io failed = copyRest(hasData);
    if (failed != Io::None || !m_out.close()) {
      const int err = errno;
      m_out.abandon();
      unlink(scratch.c_str());
      return failIo(err, failed == Io::Read ? Io::Read : Io::Write, failed == Io::Read ? path : scratch);
    }
  }
  m_reader.close();

  if (!hasData) {
    m_scan.m_event.Debug(kSplitSig, "no data in %s", path.c_str());
    unlink(scratch.c_str());
    return CLoError::Success();
  }

  const long long recorded = m_scan.m_collectInfo[i].totalSize;
  m_scan.m_event.DebugLvl(kSplitSig, 2, "Size of this collect file no %d = %lld, SizePerCollectFile = %ld",
                          m_scan.m_curCollectNum, recorded, static_cast<long>(m_target));

  FILE* out = fopen_utf(path.c_str(), "w");
  if (!out) {
    const int err = errno;
    // The collect file stays as it was, its copy beside it.
    if (moved && link(scratch.c_str(), path.c_str()) != 0) rename(scratch.c_str(), path.c_str());
    return failOpen(err, path, false);
  }
  const bool isPiece = i >= m_firstPiece;
  if (isPiece && moved) {
    // A piece lost its size fields when it was cut off: the file moved aside goes back.
    const Io failed = moveBack(path, scratch, out);
    if (failed == Io::Write) return failIo(errno, Io::Write, path);
    if (failed == Io::None) return listFile(i, m_scan.m_nextCollectNum);
  }
  if (moved) (void)fchmod(fileno(out), mode);
  m_out.attach(out);
  if (!m_reader.open(scratch.c_str())) {
    const int err = errno;
    m_out.abandon();  // collect file i stays empty; its lines are in the scratch copy
    return failOpen(err, scratch, true);
  }

  const int32_t nextAtTurn = m_scan.m_nextCollectNum;
  if (isPiece) {
    // A piece lost its size fields when it was cut off: it goes back as it is.
    bool copied = false;
    const Io failed = copyRest(copied);
    if (failed != Io::None) return failIo(errno, failed, failed == Io::Read ? scratch : m_scan.m_collectPath);
  } else {
    m_reader.mapLines();
    CLoError e = rewrite(scratch);
    if (e.IsError()) return e;
  }
  m_reader.close();
  if (!m_out.close()) return failIo(errno, Io::Write, m_scan.m_collectPath);
  unlink(scratch.c_str());
  return listFile(i, nextAtTurn);
}

// Pieces are listed in their own turn, like any collect file that holds data; once a
// cut was made every line has three numbers.
CLoError CollectSplitter::listFile(int32_t i, int32_t nextAtTurn) {
  if (m_scan.m_curCollectNum != i) m_threeNumberLines = true;
  const int rc = m_threeNumberLines
                     ? fprintf(m_config, "%d %d %d\n", i, nextAtTurn, m_scan.m_curCollectNum)
                     : fprintf(m_config, "%d\n", i);
  if (rc < 0) return failIo(errno, Io::Write, m_configPath);
  return CLoError::Success();
}

// The copy pass without copying: when the collect file (open in the reader) is a plain
// file of ours that holds data and ends with a newline, its scratch copy would hold the
// same bytes, so the file itself becomes the scratch copy and the collect file is then
// created afresh. Besides the copy this saves truncating a file full of data, which on
// ext4 makes its close start writing it out. Copy: nothing was moved, copy as usual.
CollectSplitter::Move CollectSplitter::moveAside(const std::string& path, const std::string& scratch, FILE* copy,
                                                 mode_t& mode) {
  struct stat st;
  if (fstat(m_reader.fd(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != geteuid() ||
      st.st_size <= 0 || m_reader.byteAt(st.st_size - 1) != '\n')
    return Move::Copy;
  // Only the file the reader holds may move, and only over the empty file the platform
  // made at the scratch path; a stream that writes anywhere else gets the copy.
  struct stat now;
  if (lstat(path.c_str(), &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) return Move::Copy;
  if (!isEmptyFileAt(copy, scratch, st.st_dev)) return Move::Copy;
  // Not renamed over it: ext4 writes a file out at once when it replaces another.
  if (unlink(scratch.c_str()) != 0) return Move::Copy;
  if (rename(path.c_str(), scratch.c_str()) != 0) return Move::Lost;
  mode = st.st_mode & 07777;
  return Move::Moved;
}

// A piece's rewrite would copy its scratch copy back unchanged; when that copy is the
// piece itself, moved aside, it is moved back over the empty file just made for it (the
// stream out, which is closed). Removed first rather than renamed over, as in
// moveAside. Read: nothing done, copy as usual. Write: the rename failed after the empty
// file was removed; the lines are in the scratch copy, errno set.
CollectSplitter::Io CollectSplitter::moveBack(const std::string& path, const std::string& scratch, FILE* out) {
  struct stat moved;
  if (lstat(scratch.c_str(), &moved) != 0 || !isEmptyFileAt(out, path, moved.st_dev) || unlink(path.c_str()) != 0)
    return Io::Read;
  fclose(out);
  if (rename(scratch.c_str(), path.c_str()) != 0) return Io::Write;
  return Io::None;
}

// Copies what is left of the reader to the writer, every line ended by a newline (a
// last line without one gains it), letting the kernel copy the bytes where it can.
// hasData: at least one byte was read. On failure errno is set and the side is named.
CollectSplitter::Io CollectSplitter::copyRest(bool& hasData) {
  char last = '\n';
  bool unsupported = false;
  const long long copied = m_reader.copyTo(m_out.fd(), unsupported);
  if (copied < 0) return Io::Write;
  if (copied > 0) {
    hasData = true;
    const int c = m_reader.byteAt(copied - 1);
    if (c < 0) return Io::Read;
    last = static_cast<char>(c);
  }
  while (unsupported) {
    const char* data = nullptr;
    const long n = m_reader.nextChunk(data);
    if (n < 0) return Io::Read;
    if (n == 0) break;
    hasData = true;
    last = data[n - 1];
    if (!m_out.write(data, static_cast<size_t>(n))) return Io::Write;
  }
  if (last != '\n' && !m_out.write("\n", 1)) return Io::Write;
  return Io::None;
}

CLoError CollectSplitter::rewrite(const std::string& scratch) {
  long long running = 0;
  bool cutPending = false;  // cut before the next line, so no piece is ever empty
  long long cutRunning = 0;
  long long cutLineSize = 0;
  bool writeFailed = false;
  // Writes one line up to its last bar and notes a cut after it. False to stop: a failed
  // write (errno set) or a cut to make before the next line.
  auto take = [&](const char* begin, const char* bar, const char* end) {
    if (!m_out.writeLine(begin, static_cast<size_t>((bar ? bar : end) - begin))) {
      writeFailed = true;
      return false;
    }
    if (m_cutting && bar && m_cutsLeft > 0) {
      const long long size = parseSize(bar + 1, end);
      if (__builtin_add_overflow(running, size, &running)) running = size < 0 ? LLONG_MIN : LLONG_MAX;
      if (running >= m_target) {
        cutPending = true;
        cutRunning = running;
        cutLineSize = size;
        return false;
      }
    }
    return true;
  };
  std::string_view line;
  for (;;) {
    // The whole lines of the chunk at hand go in one pass; a line over the chunk's end
    // and the line after a cut go one at a time.
    if (!cutPending) {
      const std::string_view chunk = m_reader.buffered();
      const size_t used = scanLines(chunk.data(), chunk.size(), take);
      m_reader.consume(used);
      if (writeFailed) return failIo(errno, Io::Write, m_scan.m_collectPath);
      if (used > 0) continue;
    }
    const int r = m_reader.nextLine(line);
    if (r < 0) {
      const int err = errno;
      return failIo(err, Io::Read, scratch);
    }
    if (r == 0) break;
    if (cutPending) {
      cutPending = false;
      m_scan.m_event.DebugLvl(kSplitSig, 2, "Will split collect file: curr Size %lld file size set to %lld",
                              cutRunning, cutLineSize);
      if (!m_out.close()) return failIo(errno, Io::Write, m_scan.m_collectPath);
      m_scan.m_curCollectNum = m_scan.m_nextCollectNum++;
      m_scan.m_collectPath = collectPath(m_scan.m_curCollectNum);
      FILE* piece = fopen_utf(m_scan.m_collectPath.c_str(), "w");
      if (!piece) {
        const int err = errno;
        m_reader.close();
        return failOpen(err, m_scan.m_collectPath, true);
      }
      m_out.attach(piece);
      running = 0;
      --m_cutsLeft;
    }
    // Only a line over a chunk's end or after a cut comes here: the library search will do.
    const char* bar = static_cast<const char*>(memrchr(line.data(), '|', line.size()));
    take(line.data(), bar, line.data() + line.size());
    if (writeFailed) return failIo(errno, Io::Write, m_scan.m_collectPath);
  }
  return CLoError::Success();
}

}  // namespace

namespace kzfind_internal {

SplitConfigOpener setSplitConfigOpener(SplitConfigOpener opener) {
  SplitConfigOpener previous = g_splitConfigOpener;
  g_splitConfigOpener = opener;
  return previous;
}

}  // namespace kzfind_internal

CLoError KzFind::splitCollectFiles() {
  CollectSplitter splitter(*this);
  return splitter.run();
}
