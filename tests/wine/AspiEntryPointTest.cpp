// The two entry points of the ASPI manager as the program reaches them: the
// names in the export table of the test wnaspi32.dll, and the stack pointer
// around a call through the program's declared function types. This file is
// built with a frame pointer and without deferred stack pops (see
// CMakeLists.txt), so that a call that leaves the stack off shows as a shift
// of ESP and the function still returns through its frame.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "drive/windows/WindowsApi.h"
#include "TestAspiManager.h"

namespace vindral::wine {
namespace {

struct Export {
    std::string name;
    const void* address = nullptr;
};

// The named exports of a module mapped in this process, read from its PE
// export directory.
std::vector<Export> ExportTable(HMODULE module) {
    const auto* base = reinterpret_cast<const uint8_t*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return {};
    }
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        return {};
    }
    const IMAGE_DATA_DIRECTORY& directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0 || directory.Size == 0) {
        return {};
    }
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + directory.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
    std::vector<Export> table;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
        Export entry;
        entry.name = reinterpret_cast<const char*>(base + names[i]);
        if (ordinals[i] < exports->NumberOfFunctions) {
            entry.address = base + functions[ordinals[i]];
        }
        table.push_back(entry);
    }
    return table;
}

const Export* Find(const std::vector<Export>& table, const std::string& name) {
    const auto it = std::find_if(table.begin(), table.end(),
                                 [&](const Export& entry) { return entry.name == name; });
    return it == table.end() ? nullptr : &*it;
}

class AspiEntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        module = LoadLibraryA("wnaspi32.dll");
        ASSERT_NE(module, nullptr) << "the test wnaspi32.dll is not beside the executable";
        table = ExportTable(module);
        ASSERT_FALSE(table.empty()) << "wnaspi32.dll has no readable export table";
        // Whatever mode an earlier test left, the manager answers normally.
        const auto configure = reinterpret_cast<ConfigureFn>(Entry("VindralTestAspiConfigure"));
        ASSERT_NE(configure, nullptr);
        configure(static_cast<int32_t>(ManagerMode::Synchronous));
    }
    void TearDown() override {
        if (module != nullptr) {
            FreeLibrary(module);
        }
    }

    void* Entry(const char* name) const {
        return reinterpret_cast<void*>(GetProcAddress(module, name));
    }

    HMODULE module = nullptr;
    std::vector<Export> table;
};

TEST_F(AspiEntryPoints, ExportedUnderThePlainNamesTheProgramLooksUp) {
    for (const char* name : {"GetASPI32SupportInfo", "SendASPI32Command"}) {
        const Export* entry = Find(table, name);
        ASSERT_NE(entry, nullptr) << name << " is not in the export table";
        EXPECT_EQ(entry->address, Entry(name)) << name;
    }
    // No decorated twin: no leading underscore and no "@" argument size.
    for (const Export& entry : table) {
        if (entry.name.find("ASPI32") != std::string::npos) {
            EXPECT_TRUE(entry.name == "GetASPI32SupportInfo" || entry.name == "SendASPI32Command")
                << "decorated ASPI export: " << entry.name;
        }
    }
}

// x86_64 Windows has a single calling convention: the stack checks are for
// the 32-bit build.
#if defined(__i386__)

// The stack pointer just before and just after one call through a pointer of
// the program's declared type; 0 when caller and callee agree on who removes
// the arguments.
struct Call {
    unsigned long result = 0;
    intptr_t espShift = 0;
};

template <typename Entry, typename... Args>
__attribute__((noinline)) Call CallAndMeasure(Entry entry, Args... args) {
    uintptr_t before = 0;
    uintptr_t after = 0;
    asm volatile("movl %%esp, %0" : "=r"(before) : : "memory");
    const unsigned long result = entry(args...);
    // Read ESP, then put it back where this function expects it, so that an
    // unbalanced call cannot break the function's own frame.
    asm volatile("movl %%esp, %0\n\tmovl %1, %%esp" : "=&r"(after) : "r"(before) : "memory");
    return {result, static_cast<intptr_t>(after - before)};
}

TEST_F(AspiEntryPoints, CallsThroughTheDeclaredTypesLeaveTheStackBalanced) {
    void* supportInfo = Entry("GetASPI32SupportInfo");
    void* sendCommand = Entry("SendASPI32Command");
    ASSERT_NE(supportInfo, nullptr);
    ASSERT_NE(sendCommand, nullptr);

    const Call support =
        CallAndMeasure(reinterpret_cast<windows::AspiGetSupportInfoFn>(supportInfo));
    EXPECT_EQ(support.espShift, 0);
    EXPECT_EQ((support.result >> 8) & 0xFF, 1u) << "SS_COMP expected from the test manager";

    // No block at all: the manager refuses it with SS_INVALID_CMD (0x80).
    const Call send =
        CallAndMeasure(reinterpret_cast<windows::AspiSendCommandFn>(sendCommand), nullptr);
    EXPECT_EQ(send.espShift, 0);
    EXPECT_EQ(send.result, 0x80u);
}

TEST_F(AspiEntryPoints, AStdcallEntryPointShowsAsDecoratedAndUnbalanced) {
    // The counter-example proves that both checks above can see a fault:
    // the linker decorates the __stdcall export, and a call through the
    // __cdecl pointer type leaves ESP 4 bytes higher (the callee removed the
    // argument, and the caller removes it once more).
    EXPECT_EQ(Find(table, "VindralTestAspiStdcallProbe"), nullptr);
    const Export* probe = Find(table, "VindralTestAspiStdcallProbe@4");
    ASSERT_NE(probe, nullptr) << "the decorated probe is not in the export table";

    const Call call = CallAndMeasure(
        reinterpret_cast<windows::AspiSendCommandFn>(const_cast<void*>(probe->address)), nullptr);
    EXPECT_EQ(call.result, 0xE0u);
    EXPECT_EQ(call.espShift, 4);
}

#endif

} // namespace
} // namespace vindral::wine
