// The Windows layer's client key source, runtime checks, browser start and instance claim.
#include <windows.h>

#include <rpc.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <glib.h>

#include "platform/platform.h"
#include "windows_support.h"

namespace {

using wintest::TempWorkingFolder;

// The text the client key is made from.
std::string address_text(const platform::HardwareAddress& a) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", a[0], a[1], a[2], a[3], a[4],
                a[5]);
  return text;
}

TEST(AdapterAddressTest, ReadsAsSixUppercaseHexPairsJoinedByDashes) {
  const auto address = platform::adapter_address();
  ASSERT_TRUE(address);
  const std::string text = address_text(*address);
  ASSERT_EQ(text.size(), 17u);
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i % 3 == 2) {
      EXPECT_EQ(text[i], '-') << text;
    } else {
      EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(text[i])) &&
                  !std::islower(static_cast<unsigned char>(text[i])))
          << text;
    }
  }
}

TEST(AdapterAddressTest, StaysTheSameAcrossCalls) {
  const auto first = platform::adapter_address();
  ASSERT_TRUE(first);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(platform::adapter_address(), first);
}

// The time fields and the clock sequence would also pass the two tests above within one run;
// only the node identifies the machine.
TEST(AdapterAddressTest, IsTheNodeOfASequentialUuid) {
  UUID uuid;
  UuidCreateSequential(&uuid);
  platform::HardwareAddress node;
  std::memcpy(node.data(), uuid.Data4 + 2, node.size());
  EXPECT_EQ(platform::adapter_address(), node);
}

constexpr const char* kHttpFiles[] = {"libcurl.dll", "zlib1.dll"};
constexpr const char* kConverterFiles[] = {"avcodec-51.dll", "avdevice-52.dll", "avformat-52.dll",
                                           "pthreadGC2.dll", "SDL.dll"};

// Each test runs in a fresh working folder with a non-ASCII name; the helpers work on names
// relative to the working folder of the moment.
class RuntimeFilesTest : public testing::Test {
 protected:
  template <std::size_t N>
  static void create_all(const char* const (&names)[N]) {
    for (const char* name : names) wintest::write_file(wintest::wide(name), "MZ");
  }
  static void remove(const char* name) { ASSERT_TRUE(DeleteFileW(wintest::wide(name).c_str())); }
  static void replace_with_folder(const char* name) {
    remove(name);
    wintest::make_folder(wintest::wide(name));
  }

  TempWorkingFolder folder_;
};

TEST_F(RuntimeFilesTest, NothingIsPresentInAnEmptyWorkingFolder) {
  EXPECT_FALSE(platform::http_runtime_present());
  EXPECT_FALSE(platform::converter_runtime_present());
}

TEST_F(RuntimeFilesTest, HttpRuntimeIsPresentWithBothFiles) {
  create_all(kHttpFiles);
  EXPECT_TRUE(platform::http_runtime_present());
  EXPECT_FALSE(platform::converter_runtime_present());
}

TEST_F(RuntimeFilesTest, HttpRuntimeIsMissingWithoutEitherFile) {
  for (const char* missing : kHttpFiles) {
    SCOPED_TRACE(missing);
    create_all(kHttpFiles);
    remove(missing);
    EXPECT_FALSE(platform::http_runtime_present());
  }
}

TEST_F(RuntimeFilesTest, HttpRuntimeIsMissingWhenAFileIsAFolder) {
  for (const char* odd : kHttpFiles) {
    SCOPED_TRACE(odd);
    TempWorkingFolder fresh;
    create_all(kHttpFiles);
    replace_with_folder(odd);
    EXPECT_FALSE(platform::http_runtime_present());
  }
}

TEST_F(RuntimeFilesTest, ConverterRuntimeIsPresentWithAllFiveEvenWithoutTheConverter) {
  create_all(kConverterFiles);
  ASSERT_FALSE(wintest::exists(folder_ / L"ffmpeg.exe"));
  EXPECT_TRUE(platform::converter_runtime_present());
  EXPECT_FALSE(platform::http_runtime_present());
}

// A current converter needs none of the old libraries' files: one that can be started, in the
// working folder or on PATH, is enough.
TEST_F(RuntimeFilesTest, ConverterThatCanBeStartedIsEnough) {
  const std::wstring bin = folder_ / L"bin";
  wintest::make_folder(bin);
  wintest::write_file(bin + L"\\ffmpeg.exe", "MZ");
  EXPECT_FALSE(platform::converter_runtime_present());
  {
    wintest::ScopedEnvironment path(L"PATH", bin);
    EXPECT_TRUE(platform::converter_runtime_present());
  }
  wintest::write_file(folder_ / L"ffmpeg.exe", "MZ");
  EXPECT_TRUE(platform::converter_runtime_present());
}

TEST_F(RuntimeFilesTest, ConverterRuntimeIsMissingWithoutAnyOneFile) {
  for (const char* missing : kConverterFiles) {
    SCOPED_TRACE(missing);
    create_all(kConverterFiles);
    remove(missing);
    EXPECT_FALSE(platform::converter_runtime_present());
  }
}

TEST_F(RuntimeFilesTest, ConverterRuntimeIsMissingWhenAnyOneFileIsAFolder) {
  for (const char* odd : kConverterFiles) {
    SCOPED_TRACE(odd);
    TempWorkingFolder fresh;
    create_all(kConverterFiles);
    replace_with_folder(odd);
    EXPECT_FALSE(platform::converter_runtime_present());
  }
}

// As libraries they would be found on PATH too; as runtime files only in the working folder.
TEST_F(RuntimeFilesTest, FilesOnPathDoNotCount) {
  const std::wstring on_path = folder_ / L"bin";
  wintest::make_folder(on_path);
  for (const char* name : kConverterFiles)
    wintest::write_file(on_path + L"\\" + wintest::wide(name), "MZ");
  for (const char* name : kHttpFiles)
    wintest::write_file(on_path + L"\\" + wintest::wide(name), "MZ");
  wintest::ScopedEnvironment path(L"PATH", on_path);
  EXPECT_FALSE(platform::converter_runtime_present());
  EXPECT_FALSE(platform::http_runtime_present());
}

// ShellExecute opens an executable by running it, which shows what the shell was asked.
TEST(OpenUrlTest, AsksTheShellWithoutParametersOrFolder) {
  TempWorkingFolder folder(L"tovimo-browser");  // the shell's narrow entry takes ASCII safely
  const std::wstring record = folder / L"record";
  wintest::ScopedEnvironment target(L"TOVIMO_ARGV_RECORD", record);
  const std::wstring program = folder / L"browser.exe";
  wintest::copy_file(wintest::recorder_program(), program);

  std::string error = "untouched";
  EXPECT_TRUE(platform::open_url(wintest::narrow(program), &error));
  EXPECT_EQ(error, "untouched");

  const auto recording = wintest::wait_for_recording(record, std::chrono::seconds(60));
  ASSERT_TRUE(recording) << "the shell did not start the program";
  EXPECT_EQ(recording->runtime_argv.size(), 1u);
  EXPECT_EQ(recording->working_folder, wintest::narrow(folder.path()));
}

// A second claim in the same process meets the first one's mutex, as a second start would.
TEST(InstanceTest, SecondStartHandsItsFileToTheFirstUntilReleased) {
  std::vector<std::string> heard;
  ASSERT_EQ(platform::claim_instance(std::nullopt,
                                     [&](const std::string& file) { heard.push_back(file); }),
            platform::InstanceRole::kFirst);
  const std::string file = "C:\\Cl\u00e9s \u65e5\u672c\\clip one.flv";
  const auto not_first = [](const std::string&) { ADD_FAILURE() << "a later start heard a file"; };
  EXPECT_EQ(platform::claim_instance(file, not_first), platform::InstanceRole::kHandedOver);
  EXPECT_EQ(platform::claim_instance(std::nullopt, not_first), platform::InstanceRole::kHandedOver);
  EXPECT_TRUE(heard.empty()) << "heard inside the window's message";
  for (int i = 0; i < 100 && heard.empty(); ++i) g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(heard, std::vector<std::string>{file});

  platform::release_instance();
  EXPECT_EQ(platform::claim_instance(std::nullopt, not_first), platform::InstanceRole::kFirst);
  platform::release_instance();
}

}  // namespace
