#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture.h"
#include "hex_container.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct PlacedText {
    uint32_t offset;
    std::string text;
};

// `size` bytes of filler with the texts placed in them. A text may run past `size`: that part
// lies beyond the data handed over and must never be decoded.
Bytes containerWith(uint32_t size, const std::vector<PlacedText>& texts) {
    Bytes bytes(size, '.');
    for (const PlacedText& placed : texts) {
        const size_t end = placed.offset + placed.text.size();
        if (bytes.size() < end) bytes.resize(end, '.');
        std::copy(placed.text.begin(), placed.text.end(), bytes.begin() + placed.offset);
    }
    return bytes;
}

Bytes vendorThen(const Bytes& rest) {
    Bytes image = {'M', 'A', 'T', 'S', 'H', 'I', 'T', 'A'};
    image.insert(image.end(), rest.begin(), rest.end());
    return image;
}

const std::string MARKER = "<4d415453 48495441";
const std::string EXAMPLE = MARKER + " 0000002a >";
const uint32_t SIZE = 8192;

TEST(HexContainer, FindsAndDecodesTheFirstMarkerInTheSearchWindow) {
    struct Case {
        const char* title;
        uint32_t size;
        std::vector<PlacedText> texts;
        int result;
        Bytes image;
    } cases[] = {
        {"12-byte example at 4096", SIZE, {{4096, EXAMPLE}}, 0, vendorThen({0, 0, 0, 0x2a})},
        {"marker at 4095", SIZE, {{4095, EXAMPLE}}, -1, {}},
        {"marker at the last position searched", SIZE, {{SIZE - 33, EXAMPLE}}, 0,
         vendorThen({0, 0, 0, 0x2a})},
        {"marker one beyond it", SIZE, {{SIZE - 32, MARKER + " >"}}, -1, {}},
        {"data shorter than the distance from the end", 32, {}, -1, {}},
        {"upper-case digits in groups", SIZE, {{4096, MARKER + " 0A0B0C0D eFaB1234 >"}}, 0,
         vendorThen({0x0a, 0x0b, 0x0c, 0x0d, 0xef, 0xab, 0x12, 0x34})},
        {"upper-case marker is none", SIZE,
         {{4096, "<4D415453 48495441 00000001 >"}, {4200, MARKER + " 00000002 >"}}, 0,
         vendorThen({0, 0, 0, 2})},
        {"marker with a tab is none", SIZE, {{4096, "<4d415453\t48495441 >"}}, -1, {}},
        {"other text in angle brackets is none", SIZE,
         {{4096, "<b> <4d4154 00000001 >"}, {4200, MARKER + " 00000002 >"}}, 0,
         vendorThen({0, 0, 0, 2})},
        {"second marker ignored", SIZE,
         {{4096, MARKER + " 00000001 >"}, {5000, MARKER + " 00000002 >"}}, 0,
         vendorThen({0, 0, 0, 1})},
        {"any character separates", SIZE, {{4096, MARKER + "\r0000002a\t>"}}, 0,
         vendorThen({0, 0, 0, 0x2a})},
        {"'>' after an eighth digit separates", SIZE,
         {{4096, MARKER + " 00000001>00000002 >"}}, 0, vendorThen({0, 0, 0, 1, 0, 0, 0, 2})},
        {"other characters by the same arithmetic", SIZE, {{4096, MARKER + " zzg0:0\xff  >"}},
         0, vendorThen({0x33, 0x00, 0xa0, 0xf0})},
        // Cut off: the image is what the whole groups give, and the text beyond is not read.
        {"cut off mid-group", SIZE, {{SIZE - 41, MARKER + " 00000001 00000002 0000" "0003 >"}},
         0, vendorThen({0, 0, 0, 1, 0, 0, 0, 2})},
        {"cut off after an eighth digit", SIZE,
         {{SIZE - 36, MARKER + " 00000001 00000002" " 00000003 >"}}, 0,
         vendorThen({0, 0, 0, 1, 0, 0, 0, 2})},
        {"cut off after a separator", SIZE,
         {{SIZE - 37, MARKER + " 00000001 00000002 " "00000003 >"}}, 0,
         vendorThen({0, 0, 0, 1, 0, 0, 0, 2})},
    };
    for (const Case& c : cases) {
        Bytes container = containerWith(c.size, c.texts);
        const Bytes original = container;
        int32_t extracted = 0;
        EXPECT_EQ(extractHexImage(container.data(), c.size, container.data(), &extracted),
                  c.result)
            << c.title;
        EXPECT_EQ(extracted, int32_t(c.image.size())) << c.title;
        if (c.result != 0) {
            EXPECT_EQ(container, original) << c.title;
        } else {
            EXPECT_EQ(Bytes(container.begin(), container.begin() + extracted), c.image) << c.title;
        }
    }
}

struct TemporaryFolder {
    std::string path;
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-XXXXXX").string();
        path = mkdtemp(&pattern[0]);
    }
    ~TemporaryFolder() { std::filesystem::remove_all(path); }
};

Bytes contentsOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

TEST(WholeFile, ReplacesTheFileWithTheBytesOwnerReadWrite) {
    TemporaryFolder folder;
    const std::string earlier = folder.path + "/earlier.dat";
    const std::string fresh = folder.path + "/fresh.dat";
    std::ofstream(earlier) << std::string(100, 'x');
    const Bytes data = {0x00, 0x0a, 0x0d, 0x1a, 0xff};
    CapturedStream errors;
    for (const std::string& path : {earlier, fresh}) {
        EXPECT_EQ(writeWholeFile(path.c_str(), data.data(), int32_t(data.size()), errors.stream()),
                  0);
        EXPECT_EQ(contentsOf(path), data) << path;
    }
    EXPECT_EQ(errors.text(), "");
    struct stat status {};
    ASSERT_EQ(stat(fresh.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(WholeFile, SaysWhatFailed) {
    TemporaryFolder folder;
    const std::string inMissingFolder = folder.path + "/missing/extracted.dat";
    // A node of the test's own that is no regular file; held open for reading, so that it
    // opens for writing at once.
    const std::string fifo = folder.path + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), S_IRUSR | S_IWUSR), 0);
    const int reader = open(fifo.c_str(), O_RDWR);
    ASSERT_GE(reader, 0);
    struct Case {
        std::string path;
        int32_t count;
        std::string message;
    } cases[] = {
        {folder.path, 4, "ERROR: failed to open " + folder.path + " for write\n"},
        {inMissingFolder, 4, "ERROR: failed to open " + inMissingFolder + " for write\n"},
        {fifo, -1, "ERROR: failed to write " + fifo + "\n"},
        {folder.path + "/negative", -1, "ERROR: failed to write " + folder.path + "/negative\n"},
    };
    const uint8_t data[4] = {1, 2, 3, 4};
    for (const Case& c : cases) {
        CapturedStream errors;
        EXPECT_EQ(writeWholeFile(c.path.c_str(), data, c.count, errors.stream()), -1) << c.path;
        EXPECT_EQ(errors.text(), c.message);
    }
    close(reader);
    struct stat status {};
    EXPECT_EQ(lstat(fifo.c_str(), &status), 0) << "a node that is no regular file is no copy";
    EXPECT_NE(stat((folder.path + "/negative").c_str(), &status), 0) << "a cut copy stays";
}

// The file size limit cuts the write short, as a full disk does: the 2 bytes that made it
// must not stay behind as a truncated image, nor may an earlier copy.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limited = saved_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
        previousHandler_ = signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previousHandler_);
    }

private:
    rlimit saved_;
    void (*previousHandler_)(int);
};

TEST(WholeFile, ACopyCutShortIsRemoved) {
    TemporaryFolder folder;
    const std::string path = folder.path + "/extracted.dat";
    std::ofstream(path) << "an earlier copy";
    const uint8_t data[4] = {1, 2, 3, 4};
    CapturedStream errors;
    {
        FileSizeLimit limit(2);
        EXPECT_EQ(writeWholeFile(path.c_str(), data, 4, errors.stream()), -1);
    }
    EXPECT_EQ(errors.text(), "ERROR: failed to write " + path + "\n");
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
