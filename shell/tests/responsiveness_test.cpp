// The built program against a reception service that does not answer: its
// window must answer every message in well under the 5 s after which Windows
// shows it as not responding, through start-up and through a timer's poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loopback_server.h"
#include "main_window.h"
#include "resource.h"
#include "shell_test_support.h"
#include "test_sockets.h"

namespace {

// The program asks its compiled-in host, localhost, on port 80.
constexpr char serviceAddress[] = "127.0.0.1";
constexpr int probePeriodMs = 50;
constexpr UINT probeLimitMs = 8000;
// Start-up (two requests) and the twelfth tick's poll, with a margin.
constexpr int probedSeconds = 25;

struct Probe {
  long long longestWaitMs = 0;
  int answered = 0;
  int requestsSent = 0;  // as the program's diagnostics counted them
};

HWND windowOfProcess(DWORD processId) {
  struct Search {
    DWORD processId;
    HWND found;
  } search{processId, nullptr};
  EnumWindows(
      [](HWND window, LPARAM context) -> BOOL {
        auto* wanted = reinterpret_cast<Search*>(context);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        char name[64] = {};
        GetClassNameA(window, name, sizeof name);
        if (owner != wanted->processId || std::string(name) != mainWindowClassName) return TRUE;
        wanted->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND waitForWindow(DWORD processId) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (HWND window = windowOfProcess(processId)) return window;
    Sleep(probePeriodMs);
  }
  return nullptr;
}

int countOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Sends WM_NULL every 50 ms for probedSeconds and keeps the longest wait for the answer.
void probeWindow(HWND window, Probe& probe) {
  using Clock = std::chrono::steady_clock;
  auto end = Clock::now() + std::chrono::seconds(probedSeconds);
  while (Clock::now() < end) {
    auto sent = Clock::now();
    DWORD_PTR result = 0;
    bool answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, probeLimitMs, &result) != 0;
    long long waitedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent).count();
    probe.longestWaitMs = std::max(probe.longestWaitMs, waitedMs);
    probe.answered += answered ? 1 : 0;
    Sleep(probePeriodMs);
  }
}

// Runs vestibra.exe in directory with its output in notifier.log, probes its
// window, then ends it through File > Exit.
Probe runAndProbe(const std::filesystem::path& directory) {
  Probe probe;
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  std::string logPath = (directory / "notifier.log").string();
  HANDLE log = CreateFileA(logPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = log;
  startup.hStdError = log;
  PROCESS_INFORMATION process{};
  std::string command = "\"" + windowsPath(VESTIBRA_EXE) + "\"";
  std::string workingDirectory = directory.string();
  bool started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                workingDirectory.c_str(), &startup, &process) != 0;
  CloseHandle(log);
  EXPECT_TRUE(started) << "cannot start " << VESTIBRA_EXE;
  if (!started) return probe;

  HWND window = waitForWindow(process.dwProcessId);
  EXPECT_NE(window, nullptr) << "the program showed no window";
  if (window != nullptr) {
    probeWindow(window, probe);
    PostMessageA(window, WM_COMMAND, IDM_FILE_EXIT, 0);
  }
  if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "File > Exit did not end the program within 10 s";
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  probe.requestsSent = countOf(readFileBytes(directory / "notifier.log"), "Buffer being sent");
  return probe;
}

// A listener whose one-place accept queue is taken by a connection nobody
// accepts: the system drops every further connection attempt unanswered.
struct NeverAccepting {
  SocketHandle listener = 0;
  SocketHandle queued = 0;
  NeverAccepting() {
    wsaStartup(0x0202);
    std::uint32_t address = 0;
    parseDottedAddress(serviceAddress, address);
    for (int attempt = 0; attempt < 400 && listener == 0; ++attempt) {
      listener = listenTcp(address, 80, 0);
      if (listener == 0) Sleep(probePeriodMs);
    }
    queued = openTcpSocket();
    if (listener != 0 && !connectWithin(queued, address, 80, 2000)) closeSocket(std::exchange(queued, 0));
  }
  ~NeverAccepting() {
    closeSocket(queued);
    closeSocket(listener);
    wsaCleanup();
  }
  NeverAccepting(const NeverAccepting&) = delete;
  NeverAccepting& operator=(const NeverAccepting&) = delete;
};

class Responsiveness : public ShellStateTest {};

TEST_F(Responsiveness, TheWindowAnswersWithinFourSecondsWhileTheServiceDoesNotAnswer) {
  writeFileBytes("settings.conf", "user=Ann Lee\r\n");
  for (const char* mode : {"accepts and stays silent", "never accepts"}) {
    std::unique_ptr<LoopbackServer> silent;
    std::unique_ptr<NeverAccepting> full;
    if (std::string(mode) == "never accepts") {
      full = std::make_unique<NeverAccepting>();
      ASSERT_NE(full->queued, 0u) << "cannot fill the accept queue of " << serviceAddress << ":80";
    } else {
      silent = std::make_unique<LoopbackServer>(std::vector<ScriptedResponse>{{"", 0, 0, false, true}}, serviceAddress);
      ASSERT_TRUE(silent->listening()) << "cannot listen on " << serviceAddress << ":80";
    }
    Probe probe = runAndProbe(directory_);
    std::printf("%s: longest wait for WM_NULL %lld ms over %d answers, %d requests sent\n", mode,
                probe.longestWaitMs, probe.answered, probe.requestsSent);
    EXPECT_LT(probe.longestWaitMs, 4000) << mode;
    // listUsers, the start-up poll and the twelfth tick's poll all went out.
    EXPECT_GE(probe.requestsSent, 3) << mode;
    // Most probes fall outside the three requests' waits and are answered at once.
    EXPECT_GE(probe.answered, 100) << mode;
    if (silent) {
      EXPECT_GE(silent->requests().size(), 3u) << mode;
    }
  }
}

}  // namespace
