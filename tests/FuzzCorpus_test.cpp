// Runs every fuzz target over its seed corpus, so the normal suite keeps the seeds decodable
// without crashes (and the sanitizer builds check them for memory faults).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "../fuzz/FuzzTargets.h"
#ifdef HALYARD_HAVE_GATEWAY
#include "../fuzz/GatewayFuzzTargets.h"
#endif

namespace {

void RunCorpus(const char* name, void (*target)(const uint8_t*, size_t)) {
  std::filesystem::path dir = std::filesystem::path(HALYARD_SOURCE_DIR) / "fuzz" / "corpus" / name;
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
  int files = 0;
  for (auto& entry : std::filesystem::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    target(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    // Every prefix too: truncation is the commonest fault of received PDUs.
    for (size_t cut = 0; cut < bytes.size(); ++cut) target(reinterpret_cast<const uint8_t*>(bytes.data()), cut);
    ++files;
  }
  EXPECT_GT(files, 0);
}

}  // namespace

TEST(FuzzCorpus, CreateSMS) { RunCorpus("create_sms", HalyardFuzz::CreateSMS); }
TEST(FuzzCorpus, CellBroadcast) { RunCorpus("cell_broadcast", HalyardFuzz::CellBroadcast); }
TEST(FuzzCorpus, TextStamp) { RunCorpus("text_stamp", HalyardFuzz::TextStamp); }
TEST(FuzzCorpus, FormText) { RunCorpus("form_text", HalyardFuzz::FormText); }
TEST(FuzzCorpus, ATReplies) { RunCorpus("at_replies", HalyardFuzz::ATReplies); }
TEST(FuzzCorpus, ReceivePath) { RunCorpus("receive_path", HalyardFuzz::ReceivePath); }
TEST(FuzzCorpus, UserData) { RunCorpus("user_data", HalyardFuzz::UserData); }
#ifdef HALYARD_HAVE_GATEWAY
TEST(FuzzCorpus, ApiRequest) { RunCorpus("api_request", HalyardFuzz::ApiRequest); }
#endif
