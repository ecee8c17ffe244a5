#include <BrimSubscriber/filewatch/FileWatcher.h>

#include "FileWatchTesting.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace test;
using FileWatcherTest = WatcherTest;

// One file, watched by a relative name, through its life, and then by other spellings; a pass runs after each step.
TEST_F(FileWatcherTest, EachChangeIsReportedOnceWhenTheFileCanBeOpened) {
    const fs::path file = m_dir / "line.xyz", elsewhere = m_dir / "elsewhere";
    const struct Restore { fs::path path = fs::current_path(); ~Restore() { fs::current_path(path); } } restore;
    fs::create_directory(elsewhere);
    fs::current_path(m_dir.Path());
    const CString key("line.xyz");
    const CString spellings[] = {Key(file), CString(m_dir.Path().string() + "//line.xyz"), Key(m_dir / "Line.xyz")};
    ASSERT_TRUE(Watch(key));
    const struct { const char* what; std::function<void()> step; int reports; } steps[] = {
        {"missing when added", [] {}, 0},
        {"elsewhere, a file of that name", [&] { fs::current_path(elsewhere); Touch("line.xyz", 1000s, "e"); }, 0},
        {"created", [&] { Touch(file, 1000s + 200ms, "abc"); }, 1},
        {"touched within the same second", [&] { Touch(file, 1000s + 800ms); }, 2},
        {"rewritten in place to the same time and size", [&] { Touch(file, 1000s + 800ms, "xyz"); }, 2},
        {"replaced by another file of the same time and size", [&] {
             Touch(m_dir / "new", 1000s + 800ms, "xyz");
             fs::rename(m_dir / "new", file);
         }, 3},
        {"permissions alone (the change time moves)", [&] { fs::permissions(file, fs::perms::owner_read); }, 3},
        {"size alone", [&] { Touch(file, 1000s + 800ms, "longer"); }, 4},
        {"two changes between passes", [&] { Touch(file, 1001s, "a"); Touch(file, 1002s, "bb"); }, 5},
        {"moved away", [&] { fs::rename(file, m_dir / "aside"); }, 5},
        {"moved back: the same file as last reported", [&] { fs::rename(m_dir / "aside", file); }, 5},
        {"deleted, back different", [&] { fs::remove(file); Touch(file, 1003s, "ccc"); }, 6},
        {"changed, cannot be opened", [&] { m_seams.unreadable.insert(file); Touch(file, 1004s); }, 6},
        {"still cannot be opened", [] {}, 6},
        {"can be opened again", [&] { m_seams.unreadable.clear(); }, 7},
        {"changed while the queue is full: reported once there is room", [&] {
             const auto backlog = test::FillQueue();  // its messages go with it
             Touch(file, 1004s + 500ms);
             m_watcher->RunPassForTesting();  // the post is refused
         }, 8},
        {"changed again while its report waits: the one report takes both", [&] {
             Touch(file, 1004s + 600ms);
             m_watcher->RunPassForTesting();
             Touch(file, 1004s + 700ms);
         }, 9},
        {"changed and added again: one record, examined at once", [&] {
             Touch(file, 1005s);
             EXPECT_TRUE(m_watcher->AddFileWatch(key) && m_watcher->GetWatchedPaths() == (Watched{{key, 2}}));
             EXPECT_TRUE(brim::testing::RunUntilIdle());
             EXPECT_EQ(m_recorder.calls, 10);
         }, 10},
        {"withdrawn once of twice", [&] { m_watcher->RemoveFileWatch(key); Touch(file, 1006s); }, 11},
        {"withdrawn twice more", [&] { m_watcher->RemoveFileWatch(key); m_watcher->RemoveFileWatch(key); }, 11},
        {"changed, no longer watched", [&] { Touch(file, 1007s); }, 11},
        {"spellings exactly as given, one differing in case, watched: records of their own", [&] {
             Touch(m_dir / "Line.xyz", 1000s, "L");
             for (const CString& spelling : spellings) ASSERT_TRUE(Watch(spelling));
             Touch(file, 1008s);
         }, 13},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        const int opens = m_seams.opens;
        s.step();
        Pass();
        EXPECT_EQ(m_recorder.calls, s.reports);
        EXPECT_TRUE(fs::exists(file) || m_seams.opens == opens) << "a file that is not there is never opened";
    }
    EXPECT_EQ(m_watcher->GetWatchedPaths(), (Watched{{spellings[0], 1}, {spellings[1], 1}, {spellings[2], 1}}))
        << "in the order first added";
}

// No name reaches the file system cut or converted; the link to a file is the control.
TEST_F(FileWatcherTest, BadPathsAreNotFoundAndNeverOpened) {
    const fs::path file = m_dir / "f", sub = m_dir / "sub", fifo = m_dir / "fifo", socket = m_dir / "socket";
    Touch(file, 1000s, "f");
    fs::create_directory(sub);
    fs::create_symlink(file, m_dir / "link");
    fs::create_symlink(m_dir / "nothing", m_dir / "dangling");
    fs::create_directory_symlink(sub, m_dir / "dirlink");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    socket.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    const struct { const char* what; CString path; } rows[] = {
        {"empty", CString()}, {"NUL", CString(Key(file).str() + u'\0' + u"y")},
        {"lone surrogate", CString(Key(m_dir / "a").str() + char16_t{0xD800})}, {"directory", Key(sub)},
        {"device", CString("/dev/null")}, {"FIFO", Key(fifo)}, {"socket", Key(socket)},
        {"dangling link", Key(m_dir / "dangling")}, {"link to a directory", Key(m_dir / "dirlink")},
        {"trailing slash", CString(file.string() + "/")}, {"overlong name", Key(m_dir / std::string(300, 'n'))},
        {"link to a file", Key(m_dir / "link")},
    };
    auto time = 2000s;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(Watch(row.path));
        for (const fs::path& touched : {file, sub, fifo, socket}) Touch(touched, ++time);
        ASSERT_TRUE(m_watcher->AddFileWatch(row.path));  // examined at once
        Pass();
        EXPECT_EQ(m_recorder.calls + m_seams.opens + m_seams.unnameable, &row == std::end(rows) - 1 ? 2 : 0);
    }
}

// A remover waits for the thread it stops, outside the lock, while an adder registers.
TEST_F(FileWatcherTest, PollingThreadRunsExactlyWhileRecordsExist) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] {
        const CString paths[] = {Key(m_dir / std::to_string(t)), Key(m_dir / "shared")};
        for (int i = 0; i < 300 || (m_watcher->GetPassCountForTesting() < 20 && i < 100'000); ++i) {
            if (t == 0) m_clock.now += kHour, m_silent->Interrupt();  // a pass at each round
            EXPECT_TRUE(m_watcher->AddFileWatch(paths[i % 2]) && m_watcher->IsPolling());
            m_watcher->RemoveFileWatch(paths[i % 2]);
        }
    });
    for (std::thread& thread : threads) thread.join();
    EXPECT_FALSE(m_watcher->IsPolling());
    ASSERT_TRUE(m_watcher->AddFileWatch(Key(m_dir / "shared")));  // a thread again, which passes
    m_seams.Hold(m_dir / "shared");  // destroyed in the middle of a pass, the watcher waits for its end
    m_clock.now += kHour;
    m_silent->Interrupt();
    ASSERT_TRUE(m_seams.held.Wait(kGenerousTimeout.count()));
    platform::Event destroyed;
    std::thread destroyer([&] { m_watcher.reset(), destroyed.Set(); });
    EXPECT_FALSE(destroyed.Wait(100)) << "destruction must not finish while the pass is held";
    m_seams.Release();
    destroyer.join();  // a thread left running would use freed records, which the sanitizers report
}

// The trial opening is reached for a file that a FIFO replaced after its look-up, and does not wait for a writer that
// never comes.
TEST_F(FileWatcherTest, AFifoPutInPlaceAfterTheLookUpIsNotWaitedFor) {
    const fs::path file = m_dir / "line.xyz";
    Touch(file, 1000s, "abc");
    ASSERT_TRUE(Watch(Key(file)));
    Touch(file, 2000s);
    bool swapped = false;
    m_seams.afterFind = [&](const std::string& path) {
        if (path != file || std::exchange(swapped, true)) return;
        fs::remove(path);
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    };
    platform::Event done;
    std::thread pass([&] { m_watcher->RunPassForTesting(), done.Set(); });
    const bool returned = done.Wait(static_cast<std::uint32_t>(kGenerousTimeout.count()));
    if (!returned) ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));  // lets a blocked opening go
    pass.join();
    EXPECT_TRUE(returned) << "the trial opening waited for a writer";
    EXPECT_EQ(m_seams.opens, 1) << "the trial opening was reached";
    EXPECT_TRUE(brim::testing::RunUntilIdle());
    EXPECT_EQ(m_recorder.calls, 0);
}

}  // namespace
