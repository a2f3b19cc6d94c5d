// The in-memory and file document streams: block sizes, end of data, closing
// and failures.
#include "TestSupport.h"
#include "xadracommon/ByteArrayMimeInputStream.h"
#include "xadracommon/FileMimeInputStream.h"
#include "plume/System.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using xad::preview::api::IOError;
using xad::preview::streams::ByteArrayMimeInputStream;
using preview::FileMimeInputStream;
using Plume::ObjPtr;
using xadtest::expectRemoteError;

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + i / 251) & 0xff);
    return s;
}

std::string bytes(const ObjPtr<Plume::ByteArray>& b) {
    return b ? std::string(reinterpret_cast<const char*>(b->getData()), b->getSize()) : "<null>";
}

ObjPtr<ByteArrayMimeInputStream> memStream(const std::string& data, const std::string& name = "doc") {
    return ByteArrayMimeInputStream::newInstance(data.data(), data.size(), name, "image/hpgl");
}

// A temporary directory removed with its files at the end of the test.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/xadstreamXXXXXX";
        path_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        for (auto& f : files_) ::unlink(f.c_str());
        ::rmdir(path_.c_str());
    }
    std::string file(const std::string& name, const std::string& content) {
        std::string p = path_ + "/" + name;
        FILE* f = std::fopen(p.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        files_.push_back(p);
        return p;
    }
    std::string track(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::vector<std::string> files_;
};

// --- byte array ------------------------------------------------------------

TEST(ByteArrayStream, LargeRequestsAreCappedAt64KiB) {
    std::string data = pattern(100000);
    auto s = memStream(data);
    EXPECT_EQ(s->getStreamSize(), 100000);
    auto b1 = s->readBlock(70000);
    auto b2 = s->readBlock(70000);
    auto b3 = s->readBlock(70000);
    EXPECT_EQ(b1->getSize(), 65536u);
    EXPECT_EQ(b2->getSize(), 34464u);
    EXPECT_EQ(b3->getSize(), 0u);
    EXPECT_EQ(bytes(b1) + bytes(b2), data);
    EXPECT_EQ(s->readBlock(70000)->getSize(), 0u);  // stays at the end
}

TEST(ByteArrayStream, NegativeRequestReadsKilobytesAndZeroReadsNothing) {
    std::string data = pattern(2500);
    auto s = memStream(data);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(s->readBlock(0)->getSize(), 0u);  // does not advance
    auto b1 = s->readBlock(-5);
    EXPECT_EQ(b1->getSize(), 1024u);
    EXPECT_EQ(bytes(b1), data.substr(0, 1024));
    EXPECT_EQ(s->readBlock(INT32_MIN)->getSize(), 1024u);
    EXPECT_EQ(bytes(s->readBlock(-1)), data.substr(2048));
    EXPECT_EQ(s->readBlock(-1)->getSize(), 0u);
    auto t = memStream("abc");
    EXPECT_EQ(bytes(t->readBlock(65536)), "abc");
}

TEST(ByteArrayStream, CloseDropsDataButKeepsNames) {
    auto s = memStream("abcdef", "drawing.plt");
    double ts = s->getTimestamp();
    std::string unique = s->getUniqueName()->str();
    s->readBlock(2);
    s->close();
    EXPECT_EQ(s->getStreamSize(), 0);
    EXPECT_EQ(s->getPrettyName()->str(), "drawing.plt");
    EXPECT_EQ(s->getMimeType()->str(), "image/hpgl");
    EXPECT_EQ(s->getUniqueName()->str(), unique);
    EXPECT_EQ(s->getTimestamp(), ts);
    for (int k = 0; k < 2; ++k)  // a closed stream stays closed
        expectRemoteError<IOError>([&] { s->readBlock(10); }, 16, 3, "Stream [drawing.plt] has been closed.");
    s->close();  // harmless
}

TEST(ByteArrayStream, UniqueNameIsTheCrcOfTheBytes) {
    auto a = ByteArrayMimeInputStream::newInstance(Plume::ByteArray::newInstance(
                                                       reinterpret_cast<const signed char*>("123456789"), 9),
                                                   1.0, "a", "x/a");
    auto b = ByteArrayMimeInputStream::newInstance("123456789", 9, "other", "x/b");
    EXPECT_EQ(a->getUniqueName()->str(), "cbf43926");  // the CRC-32 check value
    EXPECT_EQ(b->getUniqueName()->str(), "cbf43926");
    EXPECT_EQ(memStream("")->getUniqueName()->str(), "00000000");
    EXPECT_EQ(memStream(std::string("\x01", 1))->getUniqueName()->str().size(), 8u);  // zero-padded
    EXPECT_NE(memStream("123456788")->getUniqueName()->str(), "cbf43926");
}

TEST(ByteArrayStream, NullDataIsAnEmptyClosedStream) {
    auto s = ByteArrayMimeInputStream::newInstance(ObjPtr<Plume::ByteArray>(), 0.0, "none", "x/y");
    EXPECT_EQ(s->getUniqueName()->str(), "00000000");
    EXPECT_EQ(s->getStreamSize(), 0);
    expectRemoteError<IOError>([&] { s->readBlock(1); }, 16, 3, "Stream [none] has been closed.");
}

TEST(ByteArrayStream, TimestampDefaultsToNow) {
    double before = Plume::getCurrentTimeMillis() * 0.001;
    auto s = memStream("x");
    double after = Plume::getCurrentTimeMillis() * 0.001;
    EXPECT_GE(s->getTimestamp(), before - 0.001);
    EXPECT_LE(s->getTimestamp(), after + 0.001);
}

TEST(ByteArrayStream, ReceivedCopyStartsAtTheBeginning) {
    auto s = memStream("abcdef");
    s->readBlock(4);
    xadtest::RecordingSerializer r;
    s->writeFields(r);
    auto copy = Plume::makeObj<ByteArrayMimeInputStream>();
    copy->readFields(r, ByteArrayMimeInputStream::SERIAL_VERSION_UID);
    EXPECT_EQ(bytes(copy->readBlock(100)), "abcdef");
    EXPECT_EQ(copy->getUniqueName()->str(), s->getUniqueName()->str());
    EXPECT_EQ(copy->getPrettyName()->str(), "doc");
    EXPECT_EQ(copy->getTimestamp(), s->getTimestamp());
}

// --- file ------------------------------------------------------------------

TEST(FileStream, CreateTakesSizeAndModificationTime) {
    xadtest::QuietLog quiet;
    TempDir dir;
    std::string path = dir.file("a.plt", "IN;PU0,0;");
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    auto s = FileMimeInputStream::newInstance("uid-1", "a.plt", path, "image/hpgl");
    EXPECT_EQ(s->getStreamSize(), 9);
    EXPECT_EQ(s->getTimestamp(), static_cast<double>(st.st_mtime));
    EXPECT_EQ(s->getUniqueName()->str(), "uid-1");
    EXPECT_EQ(s->getPrettyName()->str(), "a.plt");
    EXPECT_EQ(s->getMimeType()->str(), "image/hpgl");
    EXPECT_EQ(s->getPath(), path);
    EXPECT_TRUE(s->isOpen());
}

TEST(FileStream, BlockSizesAreClampedBetween1KiBAnd64KiB) {
    xadtest::QuietLog quiet;
    TempDir dir;
    std::string data = pattern(200000);
    std::string path = dir.file("big.bin", data);
    auto s = FileMimeInputStream::newInstance("u", "p", path, "application/octet-stream");
    std::string got;
    auto take = [&](int32_t n) {
        auto blk = s->readBlock(n);
        got += bytes(blk);
        return blk->getSize();
    };
    EXPECT_EQ(take(10), 1024u);  // small requests read up to 1024 bytes
    EXPECT_EQ(take(-7), 1024u);
    EXPECT_EQ(take(0), 1024u);
    EXPECT_EQ(take(2000), 2000u);
    EXPECT_EQ(take(1 << 30), 65536u);
    for (;;) {
        size_t n = take(65536);
        ASSERT_LE(n, 65536u);
        if (n == 0) break;
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(s->readBlock(4096)->getSize(), 0u);  // stays at end of file
}

TEST(FileStream, CloseForgetsTheFileAndLaterReadsFail) {
    xadtest::QuietLog quiet;
    TempDir dir;
    std::string path = dir.file("c.plt", "abc");
    auto s = FileMimeInputStream::newInstance("u", "pretty", path, "image/hpgl");
    s->close();
    EXPECT_FALSE(s->isOpen());
    EXPECT_EQ(s->getStreamSize(), 0);
    EXPECT_EQ(s->getTimestamp(), 0);
    EXPECT_EQ(s->getMimeType()->str(), "");
    EXPECT_EQ(s->getPath(), "");
    EXPECT_EQ(s->getUniqueName()->str(), "u");
    EXPECT_EQ(s->getPrettyName()->str(), "pretty");
    for (int k = 0; k < 2; ++k)
        expectRemoteError<IOError>([&] { s->readBlock(10); }, 1, 3,
                                   "FileMimeInputStream::read called on closed stream.");
    s->close();  // second close changes nothing
    EXPECT_FALSE(s->isOpen());
}

TEST(FileStream, MissingFileFailsWithTheSystemsReason) {
    TempDir dir;
    std::string path = dir.path() + "/missing.plt";
    expectRemoteError<IOError>([&] { FileMimeInputStream::newInstance("u", "p", path, "image/hpgl"); }, 1, 3,
                               "Error opening file " + path + ": No such file or directory.");
}

TEST(FileStream, ReadErrorNamesThePath) {
    xadtest::QuietLog quiet;
    TempDir dir;  // a directory opens read-only but cannot be read
    auto s = FileMimeInputStream::newInstance("u", "p", dir.path(), "inode/directory");
    expectRemoteError<IOError>([&] { s->readBlock(10); }, 1, 3,
                               "Error reading file " + dir.path() + ": Is a directory.");
    EXPECT_TRUE(s->isOpen());  // the stream keeps its state
}

TEST(FileStream, SizesBeyond32BitsAreReported) {
    xadtest::QuietLog quiet;
    TempDir dir;
    std::string path = dir.track("sparse.bin");
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    const off_t size = (off_t(5) << 30) + 3;  // 5 GiB + 3, sparse
    if (::ftruncate(fd, size) != 0) {
        ::close(fd);
        GTEST_SKIP() << "file system cannot hold a sparse 5 GiB file";
    }
    ::close(fd);
    auto s = FileMimeInputStream::newInstance("u", "p", path, "application/octet-stream");
    EXPECT_EQ(s->getStreamSize(), int64_t(size));
    EXPECT_EQ(s->readBlock(65536)->getSize(), 65536u);
}

TEST(FileStream, ReleasingTheLastReferenceClosesTheDescriptor) {
    xadtest::QuietLog quiet;
    TempDir dir;
    std::string path = dir.file("d.plt", "x");
    auto countFds = [] {
        int n = 0;
        for (int fd = 0; fd < 1024; ++fd)
            if (::fcntl(fd, F_GETFD) != -1) ++n;
        return n;
    };
    int before = countFds();
    {
        auto s = FileMimeInputStream::newInstance("u", "p", path, "x/y");
        EXPECT_EQ(countFds(), before + 1);
    }
    EXPECT_EQ(countFds(), before);
}

TEST(FileStream, LogsCreateCloseAndDestructionAtDebugLevel) {
    TempDir dir;
    std::string path = dir.file("e.plt", "x");
    std::string logPath = dir.track("log.txt");
    int fd = ::open(logPath.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    int saved = Xadra::logService().levelThreshold;
    Xadra::logService().levelThreshold = 7;
    plumelog_set_fd(fd);
    {
        auto s = FileMimeInputStream::newInstance("u", "p", path, "x/y");
        s->close();
        s->close();
    }
    plumelog_set_fd(-1);
    Xadra::logService().levelThreshold = saved;
    std::string log(8192, '\0');
    ssize_t n = ::pread(fd, log.data(), log.size(), 0);
    ::close(fd);
    log.resize(n > 0 ? size_t(n) : 0);
    size_t a = log.find("FileMimeInputStream::create: " + path + ".");
    size_t b = log.find("FileMimeInputStream::close: " + path + ".");
    size_t c = log.find("FileMimeInputStream::close: .", b);  // the second close: path already empty
    size_t d = log.find("FileMimeInputStream::~FileMimeInputStream.");
    EXPECT_NE(a, std::string::npos) << log;
    EXPECT_NE(b, std::string::npos) << log;
    EXPECT_NE(c, std::string::npos) << log;
    EXPECT_NE(d, std::string::npos) << log;
    EXPECT_TRUE(a < b && b < c && c < d) << log;
    EXPECT_NE(log.find("xadraremoting"), std::string::npos) << log;
}

}  // namespace
