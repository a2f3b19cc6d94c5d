#include "JobFixture.h"

#include <map>
#include <mutex>
#include <random>
#include <vector>

using namespace jobtest;

// 16 request threads, 8 workers, 200 requests over 5 inputs and 6 tags, so
// that requests repeat, join running jobs and share downloads. Busy pools may
// answer Timeout; such requests are repeated until they get their result.
class JobStressTest : public JobTest {
protected:
    void SetUp() override { setUpWith(8); }
};

TEST_F(JobStressTest, MixedRepeatedRequestsGetTheirOwnResultsAndLeaveNoJobFiles) {
    std::vector<ObjPtr<TestStream>> inputs;
    for (int i = 0; i < 5; ++i) {
        std::string data(3000 + i * 4100, static_cast<char>('A' + i));
        inputs.push_back(newStream(data, "in" + std::to_string(i) + ".plt"));
    }
    std::atomic<int> next{0}, timeouts{0}, wrong{0};
    std::mutex pathsMutex;
    std::map<std::string, std::string> pathOf;  // identity -> data file, one per identity
    auto worker = [&](unsigned seed) {
        std::mt19937 rng(seed);
        for (int n = next++; n < 200; n = next++) {
            // Every identity comes up within the first 30 requests.
            int in = n % 5;
            std::string tag = "t" + std::to_string((n / 5) % 6);
            CopyOptions o;
            o.sleepMs = static_cast<int>(rng() % 3) * 5;
            for (;;) {
                try {
                    auto e = request(inputs[in], tag, o);
                    std::string expect = tag + "|" + std::string(3000 + in * 4100, static_cast<char>('A' + in));
                    if (readFile(e->getDataFilePath()) != expect) ++wrong;
                    std::lock_guard<std::mutex> lock(pathsMutex);
                    auto [it, fresh] = pathOf.emplace(std::to_string(in) + tag, e->getDataFilePath());
                    if (!fresh && it->second != e->getDataFilePath()) ++wrong;
                    break;
                } catch (const Plume::ThrowableException& ex) {
                    ASSERT_TRUE(Plume::objCast<Timeout>(ex.getThrowable())) << ex.what();
                    ++timeouts;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        }
    };
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 16; ++t) threads.emplace_back(worker, t + 1);
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(pathOf.size(), 30u);
    EXPECT_EQ(g_renders, 30) << "each identity rendered once";
    for (auto& s : inputs) EXPECT_EQ(s->reads, (s->getStreamSize() + 4095) / 4096) << "downloaded once";
    EXPECT_EQ(jobFilesLeft(), 0u);
    Xadra::stopWorkers();
    EXPECT_EQ(Xadra::getRunningJobCount(), 0u);
}
