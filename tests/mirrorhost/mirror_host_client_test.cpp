#include "mirrorhost/mirror_host_client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/core_services.h"
#include "base/log.h"
#include "base/virtual_dispatcher.h"
#include "platform/sim/sim_desktop.h"

namespace corvane {
namespace {

using E = MirrorHostEventKind;

// A host process that the test plays: it reads what the client wrote and ends when told.
struct FakeHost {
  pid_t pid = 0;
  bool running = true;
  bool terminated = false;
  int stdinRead = -1, stdinWrite = -1;
  int stdoutRead = -1, stdoutWrite = -1;
  std::function<void(int)> handler;

  ~FakeHost() {
    for (int fd : {stdinRead, stdinWrite, stdoutRead, stdoutWrite}) {
      if (fd >= 0) ::close(fd);
    }
  }
  // Every line the client has written so far.
  std::vector<std::string> lines() {
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(stdinRead, buffer, sizeof buffer)) > 0) bytes.append(buffer, size_t(n));
    taken += bytes;
    std::vector<std::string> all;
    LineSplitter().append(taken, [&](std::string_view line) { all.emplace_back(line); });
    return all;
  }
  std::string taken;
};

class FakeChild final : public ChildProcess {
 public:
  FakeChild(std::shared_ptr<FakeHost> host, Dispatcher& dispatcher) : host_(std::move(host)), dispatcher_(dispatcher) {}
  pid_t processIdentifier() const override { return host_->pid; }
  bool isRunning() const override { return host_->running; }
  void terminate() override { host_->terminated = true; }
  int standardInput() const override { return host_->stdinWrite; }
  int standardOutput() const override { return host_->stdoutRead; }
  int standardError() const override { return -1; }
  void closeStandardInput() override {}
  void setTerminationHandler(std::function<void(int)> handler) override { host_->handler = std::move(handler); }

 private:
  std::shared_ptr<FakeHost> host_;
  Dispatcher& dispatcher_;
};

class FakeProcesses final : public Processes {
 public:
  explicit FakeProcesses(Dispatcher& dispatcher) : dispatcher_(dispatcher) {}
  pid_t currentProcessIdentifier() const override { return 400; }
  pid_t parentProcessIdentifier() const override { return 1; }
  std::string executablePath() const override { return "/opt/corvane/corvane"; }
  std::unique_ptr<ChildProcess> launchSelf(const LaunchRequest& request) override {
    ++launches;
    EXPECT_EQ(request.arguments, std::vector<std::string>{"--mirror-host"});
    if (failLaunches) return nullptr;
    auto host = std::make_shared<FakeHost>();
    host->pid = 7000 + launches;
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    host->stdinRead = in[0];
    host->stdinWrite = in[1];
    host->stdoutRead = out[0];
    host->stdoutWrite = out[1];
    ::fcntl(in[0], F_SETFL, O_NONBLOCK);
    hosts.push_back(host);
    return std::make_unique<FakeChild>(host, dispatcher_);
  }
  CommandResult runCommand(const std::string&, const std::vector<std::string>&) override { return {}; }

  // The current host exits; its handler runs on the main queue.
  void exit(int status) {
    auto host = hosts.back();
    host->running = false;
    ::close(host->stdoutWrite);  // ends the client's reader
    host->stdoutWrite = -1;
    dispatcher_.main().async([host, status] {
      if (host->handler) host->handler(status);
    });
  }

  bool failLaunches = false;
  int launches = 0;
  std::vector<std::shared_ptr<FakeHost>> hosts;

 private:
  Dispatcher& dispatcher_;
};

class MirrorHostClientTest : public ::testing::Test {
 protected:
  VirtualDispatcher dispatcher;
  FakeProcesses processes{dispatcher};
  MemoryLog log;
  std::unique_ptr<MirrorHostClient> client = std::make_unique<MirrorHostClient>(processes, dispatcher, log);

  void TearDown() override {
    client.reset();
    for (auto& host : processes.hosts) {
      if (host->stdoutWrite >= 0) ::close(host->stdoutWrite);
      host->stdoutWrite = -1;
    }
  }
  void event(const std::string& line) {
    client->receive(line + "\n");
  }
  static MirrorHostCommand place(int64_t id, double x) {
    return {.cmd = MirrorHostCommandKind::place, .id = id, .x = x, .y = 0, .w = 100, .h = 50};
  }
};

TEST_F(MirrorHostClientTest, BackOffGrowsWithFailuresAndAHelloResetsIt) {
  EXPECT_EQ(MirrorHostClient::backOff(0), 0.5);
  EXPECT_EQ(MirrorHostClient::backOff(1), 1.0);
  EXPECT_EQ(MirrorHostClient::backOff(3), 4.0);
  EXPECT_EQ(MirrorHostClient::backOff(9), 5.0);

  processes.failLaunches = true;
  MirrorPlate plate(*client, 4711, 0);  // first launch, fails
  dispatcher.advance(1.0);
  plate.setContentPointSize({800, 600});  // second, fails
  EXPECT_EQ(processes.launches, 2);
  EXPECT_TRUE(log.contains("Mirror host failed to start from /opt/corvane/corvane"));
  processes.failLaunches = false;
  dispatcher.advance(1.9);
  client->send(place(plate.id, 1));
  EXPECT_EQ(processes.launches, 2) << "two failures: the next attempt waits 2 s";
  dispatcher.advance(0.1);
  client->send(place(plate.id, 2));
  EXPECT_EQ(processes.launches, 3);
  EXPECT_TRUE(client->isRunning());

  event(R"({"ev":"hello","id":0,"message":"com.corvane.mirrorhost"})");
  EXPECT_EQ(client->startFailures(), 0);
  dispatcher.advance(0.5);
  processes.exit(137);
  dispatcher.runUntilIdle();
  EXPECT_TRUE(log.contains("Mirror host pid 7003 exited status 137"));
  EXPECT_EQ(client->hostPID(), 0);
  dispatcher.advance(0.4);
  EXPECT_EQ(processes.launches, 3) << "one failure after a hello: 1 s";
  dispatcher.advance(0.2);
  EXPECT_EQ(processes.launches, 4) << "the plates come back without waiting for a command";
}

TEST_F(MirrorHostClientTest, ARestartReplaysEveryPlateBeforeTheQueuedCommands) {
  MirrorPlate a(*client, 4711, 0);
  MirrorPlate b(*client, std::nullopt, 25);
  client->send({.cmd = MirrorHostCommandKind::shm, .id = a.id, .path = "/run/corvane/corvane-cv-400-4711.shm"});
  client->send({.cmd = MirrorHostCommandKind::crop, .id = a.id, .x = 0, .y = 0.5, .w = 1, .h = 0.5});
  client->send(place(a.id, 10));
  a.setContentPointSize({800, 600});
  event(R"({"ev":"ready","id":1,"window":142})");
  a.isVisible = true;
  processes.exit(9);
  dispatcher.runUntilIdle();
  // Inside the back-off a new command waits.
  client->send({.cmd = MirrorHostCommandKind::attach, .id = a.id, .above = 4711});
  EXPECT_EQ(client->pending().size(), 1u);
  dispatcher.advance(1.0);
  ASSERT_EQ(processes.launches, 2);
  EXPECT_EQ(a.windowNumber, 0);
  EXPECT_FALSE(a.isVisible);
  EXPECT_EQ(processes.hosts.back()->lines(),
            (std::vector<std::string>{
                R"({"cmd":"create","id":1,"path":"/run/corvane/corvane-cv-400-4711.shm","source":4711,"level":0})",
                R"({"cmd":"crop","id":1,"x":0.0,"y":0.5,"w":1.0,"h":0.5})",
                R"({"cmd":"place","id":1,"x":10.0,"y":0.0,"w":100.0,"h":50.0})",
                R"({"cmd":"size","id":1,"w":800.0,"h":600.0})",
                R"({"cmd":"create","id":2,"level":25})",
                R"({"cmd":"attach","id":1,"above":4711})",
            }));
  EXPECT_TRUE(client->pending().empty());
}

TEST_F(MirrorHostClientTest, AFirstPlateInsideTheBackOffEndsAsOnePlateInTheHost) {
  processes.failLaunches = true;
  client->send(place(99, 0));  // a failed launch starts the back-off
  processes.failLaunches = false;
  MirrorPlate plate(*client, 4711, 0);
  EXPECT_EQ(client->pending().size(), 2u);
  dispatcher.advance(1.0);
  client->send({.cmd = MirrorHostCommandKind::show, .id = plate.id});
  const auto lines = processes.hosts.back()->lines();
  const std::string create = R"({"cmd":"create","id":1,"source":4711,"level":0})";
  // The replayed create first, then the queued one (which replaces it in the host).
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), create);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), create), 2);
}

TEST_F(MirrorHostClientTest, PendingStaysBoundedWhileNoHostCanStartAndNoPlateStateIsLost) {
  processes.failLaunches = true;
  std::vector<std::unique_ptr<MirrorPlate>> plates;
  for (int i = 0; i < 4; ++i) plates.push_back(std::make_unique<MirrorPlate>(*client, 100 + i, 0));
  for (int round = 0; round < 2000; ++round) {
    for (auto& p : plates) {
      client->send(place(p->id, round));
      client->send({.cmd = round % 2 ? MirrorHostCommandKind::hide : MirrorHostCommandKind::show, .id = p->id});
    }
  }
  plates[3]->destroy();
  EXPECT_LE(client->pending().size(), MirrorHostClient::kMaxPending + 1);
  processes.failLaunches = false;
  dispatcher.advance(10);
  client->send({.cmd = MirrorHostCommandKind::attach, .id = plates[0]->id, .above = 100});
  const auto lines = processes.hosts.back()->lines();
  for (int i = 0; i < 3; ++i) {
    const std::string id = std::to_string(plates[size_t(i)]->id);
    auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
    EXPECT_TRUE(has(R"({"cmd":"place","id":)" + id + R"(,"x":1999.0,"y":0.0,"w":100.0,"h":50.0})"));
    EXPECT_TRUE(has(R"({"cmd":"hide","id":)" + id + "}")) << "the last visibility command stays";
  }
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.find(R"("cmd":"create","id":4)") != std::string::npos; }),
            0)
      << "the host never makes a plate that is gone";
}

TEST_F(MirrorHostClientTest, EventsUpdatePlatesAcrossChunkBoundaries) {
  MirrorPlate plate(*client, 4711, 0);
  plate.isVisible = true;
  client->receive(R"({"ev":"ready","id":1,"window":812}
{"ev":"exclusion","id":1,"result":0}
{"ev":"fr)");
  client->receive("ame\",\"id\":1}\n{\"ev\":\"stats\",\"id\":1,\"fps\":59.9,\"frames\":120}\n{\"ev\":\"ready\",\"id\":7,\"window\":1}\n");
  EXPECT_EQ(plate.windowNumber, 812);
  EXPECT_TRUE(plate.isVisible) << "exclusion 0 leaves visibility alone";
  EXPECT_TRUE(plate.hasFrame);
  EXPECT_EQ(plate.totalFrames, 120);
  EXPECT_EQ(plate.diagnostics(), "plate=1 win=812 exclusion=0 frames=120");
  event(R"({"ev":"exclusion","id":1,"result":-999})");
  EXPECT_FALSE(plate.isVisible);
  EXPECT_FALSE(plate.hasFrame);
  event(R"({"ev":"log","id":0,"message":"plate 1: could not map /x"})");
  EXPECT_TRUE(log.contains("Mirror host: plate 1: could not map /x"));

  struct Hello {
    const char* line;
    bool hides;
    const char* identity;
  };
  for (const Hello& h : {Hello{R"({"ev":"hello","id":0,"message":"us.zoom.CptHost"})", true, "us.zoom.CptHost"},
                         Hello{R"({"ev":"hello","id":0,"message":"com.corvane.app"})", false, "com.corvane.app"},
                         Hello{R"({"ev":"hello","id":0})", false, "-"}}) {
    event(h.line);
    EXPECT_EQ(client->hidesFromZoom(), h.hides);
    EXPECT_EQ(client->diagnostics(), "host=1 pid=7001 identity=" + std::string(h.identity) +
                                         " hidesFromZoom=" + (h.hides ? "1" : "0") + " plates=1");
  }
  EXPECT_TRUE(log.contains("Mirror host ready as us.zoom.CptHost (Zoom skips its windows)"));
  EXPECT_TRUE(log.contains("Mirror host ready as ? (Zoom WILL show its windows)"));
}

TEST_F(MirrorHostClientTest, DestroyIsSentOnceAndAHostThatStopsReadingIsEnded) {
  auto plate = std::make_unique<MirrorPlate>(*client, 4711, 0);
  plate->destroy();
  plate.reset();
  auto lines = processes.hosts.back()->lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), R"({"cmd":"destroy","id":1})"), 1);
  EXPECT_TRUE(client->plates().empty());

  // The host never reads: its pipe fills, the write fails without blocking, and it is ended.
  MirrorPlate other(*client, 4711, 0);
  for (int i = 0; i < 5000 && !processes.hosts.back()->terminated; ++i) client->send(place(other.id, i));
  EXPECT_TRUE(processes.hosts.back()->terminated);
  EXPECT_TRUE(log.contains("Mirror host write failed: "));
}

TEST_F(MirrorHostClientTest, TheRunningHostsWindowsAreOursInTheWindowList) {
  sim::SimDesktop desktop{dispatcher};
  MirrorHostClient::install(client.get());
  CoreServices services(desktop.platform(), log);
  EXPECT_FALSE(services.tracker.isOurs(7001));
  MirrorPlate plate(*client, 4711, 0);
  EXPECT_TRUE(services.tracker.isOurs(7001));
  processes.exit(9);
  dispatcher.runUntilIdle();
  EXPECT_FALSE(services.tracker.isOurs(7001));
  MirrorHostClient::install(nullptr);
}

}  // namespace
}  // namespace corvane
