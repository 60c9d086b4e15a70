#include "halyard/scktconnect/ScktConnect.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "../../tests/PtyPair.h"

using namespace Halyard;
using namespace Halyard::ScktConnect;
using Framework::MakeComponent;
using HalyardTest::WaitFor;

namespace {

// A loopback listener; Accept() gives the peer's end of the next connection.
class TListener {
 public:
  TListener() {
    Fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(Fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(Fd_, reinterpret_cast<sockaddr*>(&a), &len);
    Port_ = ntohs(a.sin_port);
  }
  ~TListener() { ::close(Fd_); }
  int Port() const { return Port_; }
  int Accept() {
    pollfd p{Fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return -1;
    return ::accept4(Fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int Fd_ = -1;
  int Port_ = 0;
};

// A port on which nothing listens.
int ClosedPort() {
  TListener l;
  return l.Port();
}

void Put(int fd, const std::string& s) { ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size())); }

TEST(ClientSocket, NewConnectionDefaultsAndGuards) {
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  EXPECT_EQ(c->Port(), 0);
  EXPECT_EQ(c->Host(), "");
  EXPECT_EQ(c->Address(), "");
  EXPECT_EQ(c->Service(), "");
  EXPECT_EQ(c->InQueCount(), -1);
  c->PurgeOut();

  TListener l;
  c->SetAddress("127.0.0.1");
  c->SetPort(l.Port());
  c->Open();
  int peer = l.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_THROW(c->SetPort(1), Connect::EComError);
  EXPECT_THROW(c->SetHost("x"), Connect::EComError);
  EXPECT_EQ(c->Port(), l.Port());
  c->Close();
  ::close(peer);
}

TEST(ClientSocket, RefusedOpenLeavesNothingBehind) {
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  c->SetAddress("127.0.0.1");
  c->SetPort(ClosedPort());
  bool afterOpen = false;
  c->SetAfterOpen([&](Connect::TConnection*) { afterOpen = true; });
  EXPECT_THROW(c->Open(), Framework::ESocketError);
  EXPECT_FALSE(c->Active());
  EXPECT_FALSE(afterOpen);
  EXPECT_EQ(c->Socket(), nullptr);

  auto d = MakeComponent<TClientSocketConnection>(nullptr);
  EXPECT_THROW(d->Open(), Framework::ESocketError);  // neither host nor address
  d->SetAddress("not-numeric");
  d->SetPort(80);
  EXPECT_THROW(d->Open(), Framework::ESocketError);
}

TEST(ClientSocket, ReceivesPollsAgainSendsAndDiscardsOnClose) {
  TListener l;
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  c->SetHost("localhost");
  c->SetService(std::to_string(l.Port()));  // a service given by number goes through the lookup too
  c->SetAddress("127.0.0.1");
  std::vector<int> counts;
  c->SetOnRxChar([&](Framework::TObject*, int n) { counts.push_back(n); });
  std::vector<std::string> events;
  c->SetBeforeClose([&](Connect::TConnection*) { events.push_back("before"); });
  c->SetAfterClose([&](Connect::TConnection*) { events.push_back("after"); });
  c->SetPort(l.Port());
  c->Open();
  int peer = l.Accept();
  ASSERT_GE(peer, 0);

  Put(peer, "abc");
  // Unread bytes are reported again, in the main thread, while they wait.
  ASSERT_TRUE(WaitFor([&] { return counts.size() >= 2; }, 5000, true));
  EXPECT_EQ(counts[0], 3);
  EXPECT_EQ(counts[1], 3);
  EXPECT_EQ(c->InQueCount(), 3);
  EXPECT_EQ(c->Retrieve(3), "abc");

  EXPECT_EQ(c->Send("hello"), 5);
  char buf[16] = {};
  pollfd p{peer, POLLIN, 0};
  ASSERT_GT(::poll(&p, 1, 5000), 0);
  EXPECT_EQ(::recv(peer, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  // In the receiver thread itself.
  std::atomic<int> inThread{0};
  c->SetDontSynchronize(true);
  c->SetOnRxChar([&](Framework::TObject*, int n) {
    if (std::this_thread::get_id() != Framework::MainThreadID()) inThread = n;
  });
  Put(peer, "xy");
  ASSERT_TRUE(WaitFor([&] { return inThread.load() == 2; }));

  c->Close();
  EXPECT_EQ(events, (std::vector<std::string>{"before", "after"}));
  EXPECT_EQ(c->InQueCount(), -1);
  ::close(peer);
}

TEST(ClientSocket, PeerGoneMakesWriteFailNotTheProcess) {
  TListener l;
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  c->SetAddress("127.0.0.1");
  c->SetPort(l.Port());
  c->Open();
  int peer = l.Accept();
  ::close(peer);
  std::string block(65536, 'x');
  EXPECT_THROW(
      {
        for (int i = 0; i < 100; ++i) {
          c->Send(block);
          ::poll(nullptr, 0, 5);
        }
      },
      Framework::ESocketError);
  c->Close();
}

}  // namespace

class ClientSocketByMode : public ::testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Delivery, ClientSocketByMode, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "InReceiverThread" : "InMainThread"; });

TEST_P(ClientSocketByMode, CloseFromOwnHandlerClosesAtOnce) {
  TListener l;
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  c->SetAddress("127.0.0.1");
  c->SetPort(l.Port());
  c->SetDontSynchronize(GetParam());
  std::atomic<int> calls{0};
  std::atomic<bool> inactiveAfterClose{false};
  c->SetOnRxChar([&](Framework::TObject*, int) {
    c->Close();  // a "QUIT" received
    inactiveAfterClose = !c->Active();
    ++calls;
  });
  c->Open();
  int peer = l.Accept();
  ASSERT_GE(peer, 0);
  Put(peer, "QUIT");
  ASSERT_TRUE(WaitFor([&] { return calls == 1; }, 10000, true));
  EXPECT_TRUE(inactiveAfterClose);
  EXPECT_FALSE(c->Active());
  EXPECT_EQ(c->Socket(), nullptr);
  // Reopens as usual.
  c->SetOnRxChar(nullptr);
  c->Open();
  int again = l.Accept();
  EXPECT_GE(again, 0);
  c->Close();
  ::close(again);
  ::close(peer);
}

TEST(ClientSocket, CloseEndsWhileThePeerKeepsSending) {
  TListener l;
  auto c = MakeComponent<TClientSocketConnection>(nullptr);
  c->SetAddress("127.0.0.1");
  c->SetPort(l.Port());
  c->Open();
  int peer = l.Accept();
  ASSERT_GE(peer, 0);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    std::string chunk(4096, 's');
    for (int i = 0; i < 200000 && !stop; ++i)  // bounded: at most 800 MB, far more than a close takes
      if (::send(peer, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        if (errno != EAGAIN) break;
        ::poll(nullptr, 0, 1);
      }
  });
  ASSERT_TRUE(WaitFor([&] { return c->InQueCount() > 0; }));
  c->Close();
  EXPECT_FALSE(c->Active());
  stop = true;
  sender.join();
  ::close(peer);
}
