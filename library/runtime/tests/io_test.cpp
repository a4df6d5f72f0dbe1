// Output capture, the std streams and descriptor writers.
#include "io.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <thread>

#include "thread.hpp"
#include "support.hpp"

namespace {

using test::support::contents;

TEST(Capture, InstallingReturnsThePreviousSink) {
    auto first = rt::make_capture_buffer();
    auto second = rt::make_capture_buffer();
    EXPECT_EQ(rt::set_output_capture(first), nullptr);
    EXPECT_EQ(rt::current_output_capture(), first);
    EXPECT_EQ(rt::set_output_capture(second), first);
    EXPECT_EQ(rt::set_output_capture(nullptr), second);
    EXPECT_EQ(rt::current_output_capture(), nullptr);
}

TEST(Capture, PrintAndStdStreamsLandInTheSink) {
    auto buffer = rt::make_capture_buffer();
    auto previous = rt::set_output_capture(buffer);
    rt::print("print ");
    rt::eprint("eprint ");
    const std::uint8_t raw[] = {0xFF, 0x00, '\n'};
    rt::print_bytes(raw);
    std::cout << "cout " << 42 << ' ';
    std::cerr << "cerr ";
    std::clog << "clog" << std::endl;
    std::cout.put('!');
    rt::set_output_capture(previous);
    EXPECT_EQ(contents(buffer), std::string("print eprint \xFF\0\ncout 42 cerr clog\n!", 35));
}

TEST(Capture, PoisonedBufferStillReceivesOutput) {
    auto buffer = rt::make_capture_buffer();
    try {
        auto locked = buffer->lock();
        throw 1;
    } catch (int) {
    }
    ASSERT_TRUE(buffer->is_poisoned());
    auto previous = rt::set_output_capture(buffer);
    rt::print("kept");
    rt::set_output_capture(previous);
    EXPECT_EQ(contents(buffer), "kept");
}

TEST(Capture, TwoThreadsCaptureSeparatelyAtOnce) {
    constexpr int lines = 2000;
    rt::CaptureBuffer buffers[2] = {rt::make_capture_buffer(), rt::make_capture_buffer()};
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            rt::set_output_capture(buffers[t]);
            const std::string tag(1, static_cast<char>('a' + t));
            for (int i = 0; i < lines; ++i) {
                if (i % 2 == 0) {
                    std::cout << tag << tag << tag << '\n';
                } else {
                    rt::print(tag + tag + tag + "\n");
                }
            }
            rt::set_output_capture(nullptr);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int t = 0; t < 2; ++t) {
        const std::string tag(3, static_cast<char>('a' + t));
        std::string expected;
        for (int i = 0; i < lines; ++i) {
            expected += tag + "\n";
        }
        EXPECT_EQ(contents(buffers[t]), expected) << "thread " << t;
    }
}

TEST(Capture, SpawnHookSharesCaptureWithNewThreads) {
    // The hook reads the starting thread's capture and installs it on the new one.
    rt::add_spawn_hook([]() -> std::function<void()> {
        auto sink = rt::current_output_capture();
        if (!sink) {
            return {};
        }
        return [sink] { rt::set_output_capture(sink); };
    });
    auto buffer = rt::make_capture_buffer();
    auto previous = rt::set_output_capture(buffer);
    rt::print("parent;");
    auto child = rt::spawn_thread("child", 0, [] {
        rt::print("child;");
        std::cout << "child cout;";
        auto grandchild = rt::spawn_thread("grandchild", 0, [] { rt::eprint("grandchild;"); });
        (void)std::get<rt::JoinHandle>(grandchild).join();
    });
    ASSERT_EQ(child.index(), 0u);
    EXPECT_FALSE(std::get<rt::JoinHandle>(child).join().has_value());
    // The sinks the ended threads still held are released: here and in this slot.
    EXPECT_EQ(buffer.use_count(), 2);
    std::thread foreign([&] { rt::set_output_capture(buffer); });
    foreign.join();
    EXPECT_EQ(buffer.use_count(), 2);
    rt::set_output_capture(previous);
    EXPECT_EQ(contents(buffer), "parent;child;child cout;grandchild;");

    // Without a capture on the starting thread, the new thread has none either.
    bool had_capture = true;
    auto plain =
        rt::spawn_thread("plain", 0, [&] { had_capture = !!rt::current_output_capture(); });
    (void)std::get<rt::JoinHandle>(plain).join();
    EXPECT_FALSE(had_capture);
}

TEST(FdWriter, WritesEverythingAndReportsErrors) {
    std::signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    rt::FdWriter writer(fds[1]);
    EXPECT_TRUE(writer.write_str("hello ").ok());
    EXPECT_TRUE(writer.write_str("pipe").ok());
    EXPECT_TRUE(writer.flush().ok());
    char got[32] = {};
    EXPECT_EQ(::read(fds[0], got, sizeof got), 10);
    EXPECT_STREQ(got, "hello pipe");

    ::close(fds[0]);
    auto broken = writer.write_str("nobody reads");
    ASSERT_FALSE(broken.ok());
    EXPECT_EQ(broken.error().kind(), rt::ErrorKind::BrokenPipe);
    ::close(fds[1]);

    auto bad = rt::write_fd(-1, {});
    EXPECT_TRUE(bad.ok());  // nothing to write, nothing attempted
    const std::uint8_t byte = 'x';
    bad = rt::write_fd(-1, {&byte, 1});
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().raw_os_error(), EBADF);
}

TEST(FdWriter, LargeWriteThroughPipeArrivesWhole) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const std::string big(1 << 20, 'z');
    std::string received;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t n;
        while ((n = ::read(fds[0], chunk, sizeof chunk)) > 0) {
            received.append(chunk, static_cast<std::size_t>(n));
        }
    });
    EXPECT_TRUE(rt::FdWriter(fds[1]).write_str(big).ok());
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(received.size(), big.size());
}

TEST(VecWriter, Appends) {
    rt::VecWriter writer;
    EXPECT_TRUE(writer.write_str("ab").ok());
    EXPECT_TRUE(writer.write_str("c").ok());
    EXPECT_EQ(std::string(writer.data.begin(), writer.data.end()), "abc");
}

}  // namespace

TEST(CapturedOutput, KeepsTheFirstAndLastHalfOfTheLimit) {
    struct Case {
        std::size_t limit;
        std::vector<std::string> pieces;
        std::string shown;
    };
    const Case cases[] = {
        {10, {"abcdefgh"}, "abcdefgh"},
        {10, {"01234", "56789"}, "0123456789"},
        {10, {"0123456789AB"}, "01234[... 2 bytes of output omitted ...]\n789AB"},
        // The tail wraps around its ring several times.
        {10,
         {"012", "3456789", "ABCDEFG", "HIJ"},
         "01234[... 10 bytes of output omitted ...]\nFGHIJ"},
        {10, {"01234", "x", "y", "z"}, "01234xyz"},
        {7, {"abcdefghij"}, "abc[... 3 bytes of output omitted ...]\nghij"},
        {1, {"xyz"}, "[... 2 bytes of output omitted ...]\nz"},
    };
    for (const Case& c : cases) {
        auto buffer = rt::make_capture_buffer(c.limit);
        auto previous = rt::set_output_capture(buffer);
        for (const std::string& piece : c.pieces) {
            rt::print(piece);
        }
        rt::set_output_capture(previous);
        EXPECT_EQ(contents(buffer), c.shown) << c.limit;
        const std::vector<std::uint8_t> taken = buffer->lock().guard->take();
        EXPECT_EQ(std::string(taken.begin(), taken.end()), c.shown) << c.limit;
        EXPECT_TRUE(buffer->lock().guard->empty());
    }
}
