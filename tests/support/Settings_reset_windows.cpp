// Linked into every test binary on Windows: each test starts without the program's registry
// key, as each test on POSIX starts with a settings folder of its own. The key as the binary
// found it is put back at its end, so that running the tests keeps the user's signature.
#include <gtest/gtest.h>

#include "support/Settings.h"

namespace {

class SettingsReset final : public ::testing::EmptyTestEventListener {
 public:
  void OnTestProgramStart(const ::testing::UnitTest&) override {
    hadSignature_ = TestSupport::SignatureStored("");
    signature_ = TestSupport::StoredSignature("");
  }
  void OnTestStart(const ::testing::TestInfo&) override { TestSupport::RemoveSettings(""); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    TestSupport::RemoveSettings("");
    if (hadSignature_) {
      TestSupport::StoreSignature("", signature_);
    }
  }

 private:
  bool hadSignature_ = false;
  std::string signature_;
};

const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new SettingsReset);
  return true;
}();

}  // namespace
