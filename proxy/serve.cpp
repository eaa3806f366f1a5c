#include "proxy/serve.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "proxy/admin.h"
#include "proxy/metrics.h"
#include "proxy/options.h"
#include "proxy/worker.h"

namespace rg::proxy {

namespace {

// How long a stop waits for the exchanges in flight: less than the 30 s a
// service manager commonly allows before it kills.
constexpr int64_t kStopGraceMs = 25'000;

// "error 2 (file not found)", as the command words it.
std::string Describe(uint32_t error) {
  return "error " + std::to_string(error) + " (" + ErrorMeaning(error) + ")";
}

void PrintError(const std::string& sentence) {
  std::string line = "ravelgard: " + sentence + "\n";
  std::fputs(line.c_str(), stderr);
}

uint32_t DefaultThreads() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<uint32_t>(count);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

// Two descriptors per connection (client and upstream) and some to spare;
// a limit below two per connection is worth a word.
void RaiseDescriptorLimit(uint32_t maxConnections) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t needed = static_cast<rlim_t>(maxConnections) * 2;
  const rlim_t wanted = needed + 256;
  if (limit.rlim_cur < wanted) {
    limit.rlim_cur = (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > wanted) ? wanted
                                                                                : limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < needed) {
    LogError("only %llu file descriptors may be open; %u connections need %llu",
             static_cast<unsigned long long>(limit.rlim_cur), maxConnections,
             static_cast<unsigned long long>(needed));
  }
}

// Loads the policy and builds its 400 page. Returns 0 or the error number,
// with *what naming the step that failed.
uint32_t LoadPolicy(const ServeOptions& options, const char* serverSoftware, EnginePolicy** out,
                    const char** what) {
  EngineOptions engineOptions;
  engineOptions.logDirectory = options.logDirectory.empty() ? nullptr : options.logDirectory.c_str();
  // Several proxies may log into one directory; each record is one append.
  engineOptions.logMode = LogMode::kShared;
  *what = "load the policy";
  uint32_t error = LoadEnginePolicy(options.iniPath.c_str(), &engineOptions, out);
  if (error != 0) return error;
  *what = "build the 400 page of the policy";
  error = EnsureBlockPageText(*out, serverSoftware);
  if (error != 0) {
    ReleaseEnginePolicy(*out);
    *out = nullptr;
  }
  return error;
}

}  // namespace

int RunServe(int argc, char** argv) {
  ServeOptions options;
  std::string error;
  if (!ParseServeOptions(argc, argv, &options, &error)) {
    PrintError(error);
    return 2;
  }
  if (options.help) {
    std::fputs(kServeUsage, stdout);
    return 0;
  }
  for (const SocketAddress& a : options.upstream.addresses) {
    if ((a.storage.ss_family == AF_INET && reinterpret_cast<const sockaddr_in*>(&a.storage)->sin_port == 0) ||
        (a.storage.ss_family == AF_INET6 && reinterpret_cast<const sockaddr_in6*>(&a.storage)->sin6_port == 0)) {
      PrintError("the upstream '" + options.upstream.text + "' needs a port other than 0");
      return 2;
    }
  }
  const char* serverSoftware = options.hasServerSoftware ? options.serverSoftware.c_str() : nullptr;

  // Signals are taken by this thread alone, with sigwait: block them before
  // any other thread starts so that every thread inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  EnginePolicy* policy = nullptr;
  const char* what = "";
  uint32_t loadError = LoadPolicy(options, serverSoftware, &policy, &what);
  if (loadError != 0) {
    PrintError("cannot " + std::string(what) + " '" + options.iniPath + "': " + Describe(loadError));
    return 2;
  }
  RaiseDescriptorLimit(options.maxConnections);

  Shared shared;
  shared.options = &options;
  shared.serverSoftware = serverSoftware;
  const uint32_t threadCount = options.threads != 0 ? options.threads : DefaultThreads();
  std::vector<std::unique_ptr<Worker>> workers;
  for (uint32_t i = 0; i < threadCount; ++i) {
    RetainEnginePolicy(policy);
    workers.push_back(std::make_unique<Worker>(&shared, i, policy));
  }

  // Every thread listens on every address with SO_REUSEPORT. A second
  // process with SO_REUSEPORT would silently share the port, so the first
  // bind is made without it, to find a port that is taken.
  std::vector<std::string> listening;
  for (const SocketAddress& address : options.listen.addresses) {
    uint16_t port = 0;
    int probe = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
      int one = 1;
      ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (address.storage.ss_family == AF_INET6)
        ::setsockopt(probe, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
      int rc = ::bind(probe, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
      int probeError = errno;
      ::close(probe);
      if (rc != 0) {
        PrintError("cannot listen on " + FormatAddress(reinterpret_cast<const sockaddr*>(&address.storage), true) +
                   ": " + std::strerror(probeError));
        ReleaseEnginePolicy(policy);
        return 2;
      }
    }
    for (auto& worker : workers) {
      int rc = worker->Listen(address, &port);
      if (rc != 0) {
        PrintError("cannot listen on " +
                   FormatAddress(reinterpret_cast<const sockaddr*>(&address.storage), true) + ": " +
                   std::strerror(rc));
        ReleaseEnginePolicy(policy);
        return 2;
      }
    }
    SocketAddress bound = address;
    if (bound.storage.ss_family == AF_INET)
      reinterpret_cast<sockaddr_in*>(&bound.storage)->sin_port = htons(port);
    else
      reinterpret_cast<sockaddr_in6*>(&bound.storage)->sin6_port = htons(port);
    listening.push_back(FormatAddress(reinterpret_cast<const sockaddr*>(&bound.storage), true));
  }

  std::vector<const WorkerMetrics*> metrics;
  for (auto& worker : workers) metrics.push_back(&worker->metrics());
  std::unique_ptr<AdminServer> admin;
  if (options.hasAdmin) {
    admin = std::make_unique<AdminServer>(
        [&metrics, &shared] { return RenderMetrics(metrics, shared.process); },
        [&shared] { return !shared.stopping.load(); });
    int rc = admin->Listen(options.admin.addresses.front());
    if (rc != 0) {
      PrintError("cannot listen on " + options.admin.text + " for --admin: " + std::strerror(rc));
      ReleaseEnginePolicy(policy);
      return 2;
    }
  }

  std::vector<std::thread> threads;
  for (auto& worker : workers) {
    Worker* w = worker.get();
    threads.emplace_back([w] { w->Run(); });
  }
  if (admin) admin->Start();

  std::string where;
  for (const std::string& l : listening) where += (where.empty() ? "" : ", ") + l;
  // One line, and the last one printed at start: scripts and service managers
  // wait for it and read the bound ports from it, so the admin address rides
  // on its end instead of following on a line of its own.
  std::string metricsAt;
  if (admin) metricsAt = ", metrics on http://" + admin->BoundAddress() + "/metrics";
  std::printf("ravelgard: screening %s -> %s with %s, %u thread%s%s\n", where.c_str(),
              options.upstream.text.c_str(), options.iniPath.c_str(), threadCount,
              threadCount == 1 ? "" : "s", metricsAt.c_str());
  std::fflush(stdout);

  // Signals until a stop; then wait for the threads, still taking a second
  // SIGTERM or SIGINT as "stop now".
  bool stopping = false;
  std::vector<bool> finished(threads.size(), false);
  for (;;) {
    timespec tick{0, 100'000'000};
    int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGHUP && !stopping) {
      EnginePolicy* fresh = nullptr;
      uint32_t rc = LoadPolicy(options, serverSoftware, &fresh, &what);
      if (rc != 0) {
        shared.process.reloadsFailed.fetch_add(1, std::memory_order_relaxed);
        PrintError("SIGHUP: cannot " + std::string(what) + " '" + options.iniPath + "': " +
                   Describe(rc) + "; the previous policy stays in force");
      } else {
        for (auto& worker : workers) {
          RetainEnginePolicy(fresh);
          worker->PostPolicy(fresh);
        }
        ReleaseEnginePolicy(policy);
        policy = fresh;
        shared.process.reloadsOk.fetch_add(1, std::memory_order_relaxed);
        PrintError("SIGHUP: policy '" + options.iniPath + "' loaded again; new connections use it");
      }
    } else if (signal == SIGTERM || signal == SIGINT) {
      if (!stopping) {
        stopping = true;
        shared.stopping.store(true);
        PrintError(std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") +
                   ": stopping; requests in flight may finish");
        int64_t deadline = NowMs() + kStopGraceMs;
        for (auto& worker : workers) worker->PostStop(deadline);
      } else {
        PrintError("stopping now");
        for (auto& worker : workers) worker->PostStop(0);
      }
    }
    if (stopping) {
      bool all = true;
      for (size_t i = 0; i < threads.size(); ++i) {
        if (finished[i]) continue;
        // A finished worker's loop has returned; try_join is not portable,
        // so poll the thread's loop state instead.
        if (workers[i]->context().stopped()) {
          threads[i].join();
          finished[i] = true;
        } else {
          all = false;
        }
      }
      if (all) break;
    }
  }
  if (admin) admin->Stop();
  workers.clear();
  ReleaseEnginePolicy(policy);
  PrintError("stopped");
  return 0;
}

}  // namespace rg::proxy
