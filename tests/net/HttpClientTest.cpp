// The HTTP client and the answer cache against a server on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <utime.h>

#include "extract/RunHarness.h"
#include "net/CurlLibrary.h"
#include "net/HttpClient.h"
#include "net/LocalHttpServer.h"

namespace vindral {
namespace {

using net::HttpAnswer;

TEST(HttpClient, AnswersNotFoundAndServerErrors) {
    test::LocalHttpServer server;
    ASSERT_GT(server.Port(), 0);
    std::string binary("\x01\x00\xff\r\n", 5);
    server.Set("/a/b/c.bin", binary);
    server.Set("/lookup2.php?version=3&toc=0:100", "<ctdb/>");
    server.Set("/broken", test::LocalHttpServer::Answer{500, "oops"});

    HttpAnswer ok = net::HttpGet(server.Url() + "/a/b/c.bin");
    EXPECT_EQ(ok.outcome, HttpAnswer::Outcome::Ok);
    EXPECT_EQ(ok.status, 200);
    EXPECT_EQ(ok.body, binary); // bytes unchanged, zero byte included

    HttpAnswer query = net::HttpGet(server.Url() + "/lookup2.php?version=3&toc=0:100");
    EXPECT_EQ(query.outcome, HttpAnswer::Outcome::Ok);
    EXPECT_EQ(query.body, "<ctdb/>");

    HttpAnswer missing = net::HttpGet(server.Url() + "/nothing");
    EXPECT_EQ(missing.outcome, HttpAnswer::Outcome::NotFound);
    EXPECT_TRUE(missing.body.empty());

    HttpAnswer broken = net::HttpGet(server.Url() + "/broken");
    EXPECT_EQ(broken.outcome, HttpAnswer::Outcome::Unreachable);
    EXPECT_EQ(broken.reason, "HTTP status 500");

    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1], "/lookup2.php?version=3&toc=0:100");
}

TEST(HttpClient, NobodyListeningOrNoAnswerIsUnreachable) {
    int port = 0;
    {
        test::LocalHttpServer server;
        port = server.Port();
        server.Set("/hangup", test::LocalHttpServer::Answer{200, "", 0, true});
        HttpAnswer hangup = net::HttpGet(server.Url() + "/hangup");
        EXPECT_EQ(hangup.outcome, HttpAnswer::Outcome::Unreachable);
        EXPECT_FALSE(hangup.reason.empty());
    }
    HttpAnswer down = net::HttpGet("http://127.0.0.1:" + std::to_string(port) + "/x");
    EXPECT_EQ(down.outcome, HttpAnswer::Outcome::Unreachable);
    EXPECT_NE(down.reason.find("onnect"), std::string::npos) << down.reason;

    // Only http and https are spoken.
    HttpAnswer file = net::HttpGet("file:///etc/passwd");
    EXPECT_EQ(file.outcome, HttpAnswer::Outcome::Unreachable);
    EXPECT_TRUE(file.body.empty());
}

TEST(HttpClient, GivesUpAtTheTimeLimit) {
    test::LocalHttpServer server;
    server.Set("/slow", test::LocalHttpServer::Answer{200, "late", 2500});
    const auto start = std::chrono::steady_clock::now();
    HttpAnswer slow = net::HttpGet(server.Url() + "/slow", 1);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(slow.outcome, HttpAnswer::Outcome::Unreachable);
    EXPECT_LT(took, std::chrono::milliseconds(2400));
    EXPECT_EQ(net::kRequestTimeoutSeconds, 10);
}

TEST(HttpClient, OpensLibcurlAtRunTimeOrSaysWhyNot) {
    const struct {
        const char* soname;
        const char* reason; // nullptr: opens
    } cases[] = {
        {net::kCurlSoname, nullptr},
        {"libvindral-absent.so.0", "libcurl could not be loaded: libvindral-absent.so.0: cannot open"},
        {"libz.so.1", "libcurl could not be loaded: libz.so.1 lacks curl_global_init"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.soname);
        net::CurlLibrary library;
        std::string reason;
        const bool opened = net::OpenCurlLibrary(c.soname, library, reason);
        EXPECT_EQ(opened, c.reason == nullptr);
        if (opened) {
            EXPECT_STREQ(library.easy_strerror(CURLE_OK), "No error");
            EXPECT_NE(library.multi_cleanup, nullptr);
        } else {
            EXPECT_EQ(reason.rfind(c.reason, 0), 0u) << reason;
            EXPECT_EQ(library.easy_init, nullptr);
        }
    }
    // The client's own library: opened and started once, the same for every caller.
    std::string reason;
    const net::CurlLibrary* first = net::Curl(reason);
    ASSERT_NE(first, nullptr) << reason;
    EXPECT_EQ(net::Curl(reason), first);
}

TEST(HttpClient, UrlsAndCacheFolderNames) {
    EXPECT_EQ(net::JoinUrl("http://h/accuraterip/", "/4/8/2/x.bin"), "http://h/accuraterip/4/8/2/x.bin");
    EXPECT_EQ(net::JoinUrl("http://h", "lookup2.php?a=1"), "http://h/lookup2.php?a=1");
    EXPECT_EQ(net::CacheFolderForUrl("http://www.accuraterip.com/accuraterip"), "www.accuraterip.com");
    EXPECT_EQ(net::CacheFolderForUrl("http://127.0.0.1:8080"), "127.0.0.1_8080");
    EXPECT_EQ(net::CacheFolderForUrl("https://user:pw@db.example/x"), "db.example");
    EXPECT_EQ(net::CacheFolderForUrl("http://../"), "_");
}

using test::ScopedEnv;

TEST(AnswerCache, FolderFollowsXdgCacheHome) {
    {
        ScopedEnv xdg("XDG_CACHE_HOME", "/tmp/somewhere");
        EXPECT_EQ(net::DefaultCacheFolder(), "/tmp/somewhere/vindral/");
    }
    {
        ScopedEnv xdg("XDG_CACHE_HOME", "");
        ScopedEnv home("HOME", "/home/someone");
        EXPECT_EQ(net::DefaultCacheFolder(), "/home/someone/.cache/vindral/");
    }
}

TEST(AnswerCache, StoresLoadsAndForgetsOldAnswers) {
    test::TempFolder folder;
    net::AnswerCache cache(folder.Path() + "vindral", 3600);
    EXPECT_FALSE(cache.Load("h/accuraterip/1/2/3/dBAR-x.bin"));
    std::string body("\x00\x01\x02", 3);
    ASSERT_TRUE(cache.Store("h/accuraterip/1/2/3/dBAR-x.bin", body));
    const auto loaded = cache.Load("h/accuraterip/1/2/3/dBAR-x.bin");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, body);
    EXPECT_TRUE(test::FileExists(folder.Path() + "vindral/h/accuraterip/1/2/3/dBAR-x.bin"));

    // Older than the maximum age: asked again.
    const std::string path = folder.Path() + "vindral/h/accuraterip/1/2/3/dBAR-x.bin";
    struct utimbuf old {};
    old.actime = old.modtime = ::time(nullptr) - 7200;
    ASSERT_EQ(::utime(path.c_str(), &old), 0);
    EXPECT_FALSE(cache.Load("h/accuraterip/1/2/3/dBAR-x.bin"));

    // Names that would leave the folder are refused.
    EXPECT_FALSE(cache.Store("../escape", "x"));
    EXPECT_FALSE(cache.Store("/abs", "x"));
    EXPECT_FALSE(cache.Store("a/../../b", "x"));
    EXPECT_FALSE(test::FileExists(folder.Path() + "escape"));

    // No folder: no cache.
    net::AnswerCache none("");
    EXPECT_FALSE(none.Store("a", "x"));
    EXPECT_FALSE(none.Load("a"));
}

} // namespace
} // namespace vindral
