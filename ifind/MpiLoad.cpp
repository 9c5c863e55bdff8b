// Finds and loads the MPI module for ifind --mpi (see Mpi.cpp for why it is apart).
#include "ifind/Mpi.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace ifind {

#if KZ_HAVE_MPI

bool mpiBuilt() { return true; }

namespace {

std::string executableDir() {
  char buf[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

}  // namespace

std::unique_ptr<MpiSession> MpiSession::start(int* argc, char*** argv, std::string& why) {
  // Beside the executable in a build folder; under the library folder once installed.
  const std::string dir = executableDir();
  std::string tried;
  void* module = nullptr;
  for (const std::string& path : {dir + "/" KZ_MPI_MODULE_NAME, dir + "/" KZ_MPI_MODULE_INSTALLED}) {
    if (access(path.c_str(), F_OK) != 0) continue;
    // Global: the MPI library loads components of its own that look for its symbols.
    module = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (module) break;
    tried = path + ": " + dlerror();
  }
  if (!module) {
    why = tried.empty() ? "the MPI module " KZ_MPI_MODULE_NAME " is not installed beside ifind (" + dir + ")"
                        : "cannot load the MPI module " + tried;
    return nullptr;
  }
  using Start = MpiSession* (*)(int*, char***, std::string*);
  auto startFn = reinterpret_cast<Start>(dlsym(module, "kzfind_mpi_start"));
  if (!startFn) {
    why = "the MPI module has no entry point (kzfind_mpi_start)";
    return nullptr;
  }
  // The module stays loaded to the end: the session's code lives in it.
  return std::unique_ptr<MpiSession>(startFn(argc, argv, &why));
}

#else

bool mpiBuilt() { return false; }

std::unique_ptr<MpiSession> MpiSession::start(int*, char***, std::string& why) {
  why = "built without MPI";
  return nullptr;
}

#endif

}  // namespace ifind
