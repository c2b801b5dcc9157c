// The folder of a loaded module, as the loader names it and as it really is.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "TestTempDir.h"
#include "support/SharedLibrary.h"

#if !defined(_WIN32)
#include <dlfcn.h>

namespace {

namespace fs = std::filesystem;
using korva::detail::ModuleFolderOf;
using korva::detail::RealModuleFolderOf;

// A library opened through a link in another folder: the loader names the
// link's folder, the real folder is where the file (and what is installed
// beside it) lies.
TEST(ModuleFolder, ThroughALinkNamesBothFolders) {
    const std::string real = KORVA_TEST_ONNXRUNTIME;
    if (real.empty()) GTEST_SKIP() << "no ONNX Runtime in this build to load";
    if (dlopen(real.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) GTEST_SKIP() << "already loaded by its own name";
    korva::test::TempDir tmp;
    const fs::path link = tmp.path() / "libonnxruntime.so.1";
    std::error_code ec;
    fs::create_symlink(fs::canonical(real), link, ec);
    ASSERT_FALSE(ec) << ec.message();
    void* handle = dlopen(link.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    const void* symbol = dlsym(handle, "OrtGetApiBase");
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(ModuleFolderOf(symbol), tmp.path().string() + "/");
    EXPECT_EQ(RealModuleFolderOf(symbol), fs::canonical(real).parent_path().string() + "/");
    dlclose(handle);
}

}  // namespace
#endif
