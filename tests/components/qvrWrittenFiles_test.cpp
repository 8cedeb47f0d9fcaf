// The run's table of written files: every path is found under the entry that wrote it,
// whatever its length and however much it shares with the others, and no other path is.
#include "qvrWrittenFiles.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(WrittenFiles, EveryPathIsFoundUnderItsWriterAndNoOther)
{
    // Names of every length from 1 to 41 bytes, in folders whose paths share all but a
    // few bytes, and enough of them that the table grows many times. Each is prefetched
    // before it is looked up and added, as extraction does; the lookups after the last
    // one, of other paths, must not take its kept hash.
    std::vector<std::string> paths;
    for (int i = 0; i < 20000; i++)
        paths.push_back(std::string(i % 2 ? "/dest/" : "") + "d" + std::to_string(i / 100) + "/" +
                        std::string(static_cast<size_t>(i % 41), 'x') + std::to_string(i));
    for (const char* p : {"a", "ab", "abcdefg", "abcdefgh", "abcdefghi", "abcdefghijklmnop"})
        paths.emplace_back(p);

    TWrittenFiles written;
    for (size_t i = 0; i < paths.size(); i++) {
        ASSERT_EQ(written.Find(paths[i]), -1) << paths[i];
        written.Prefetch(paths[i]);
        written.Add(paths[i], static_cast<int32_t>(i));
    }
    for (size_t i = 0; i < paths.size(); i++) {
        ASSERT_EQ(written.Find(paths[i]), static_cast<int32_t>(i)) << paths[i];
        // One byte changed at the start, in the middle or at the end, or one byte more:
        // another file ('#' is in no path).
        std::string other = paths[i];
        for (size_t at : {size_t{0}, other.size() / 2, other.size() - 1}) {
            const char was = other[at];
            other[at] = '#';
            EXPECT_EQ(written.Find(other), -1) << other;
            other[at] = was;
        }
        EXPECT_EQ(written.Find(other + "#"), -1);
    }

    // A second writer leaves the first recorded; a writer withdrawn frees the file for
    // the next one; a cleared table knows no file.
    written.Add(paths[5], 99);
    EXPECT_EQ(written.Find(paths[5]), 5);
    written.Forget(paths[5], 5);
    EXPECT_EQ(written.Find(paths[5]), -1);
    written.Add(paths[5], 7);
    EXPECT_EQ(written.Find(paths[5]), 7);
    written.Clear();
    EXPECT_EQ(written.Find(paths[5]), -1);
    EXPECT_EQ(written.Find(paths[0]), -1);
}

} // namespace
