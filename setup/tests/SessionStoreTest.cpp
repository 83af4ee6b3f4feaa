// The session store's reading rules over keychain and defaults kept in memory. (Its writing and
// clearing are checked over the real keyring and with the model's session.)
#include <gtest/gtest.h>

#include "SessionStore.h"
#include "SetupTestSupport.h"

using namespace tether;

namespace {

struct Stores {
  std::shared_ptr<MemoryKeychain> keychain = std::make_shared<MemoryKeychain>();
  std::shared_ptr<MemoryDefaults> defaults = std::make_shared<MemoryDefaults>();
  SessionStore store{keychain, defaults};
};

TEST(SessionStore, ReadsOnlyWellFormedUtf8) {
  const std::pair<QByteArray, std::optional<QString>> cases[] = {
      {"t\xC3\xB6k\xE2\x82\xAC", QString::fromUtf8("tök€")},
      {"", QString("")},
      {"\xEF\xBB\xBFtok", QChar(0xFEFF) + QString("tok")},  // a leading BOM is data too
      {"\xFF\xFE", std::nullopt},
      {"\xE2\x82", std::nullopt},  // cut short
  };
  for (const auto& [bytes, expected] : cases) {
    Stores s;
    s.keychain->items.append({QString("apiToken"), bytes});
    EXPECT_EQ(s.store.apiToken(), expected) << bytes.toHex().constData();
  }
}

TEST(SessionStore, KeepsTheDeviceChoiceOnlyAsAnIntegerAndTheEmailOnlyAsAString) {
  Stores s;
  s.store.setSelectedDeviceID(42);
  s.store.setSignedInEmail("p@example.com");
  EXPECT_EQ(s.store.selectedDeviceID(), 42);
  EXPECT_EQ(s.store.signedInEmail(), "p@example.com");
  s.store.setSelectedDeviceID(std::nullopt);
  s.store.setSignedInEmail(std::nullopt);
  EXPECT_TRUE(s.defaults->values.isEmpty());

  const std::pair<QVariant, std::optional<qint64>> stored[] = {
      {QVariant(7), 7},
      {QVariant(qulonglong(7)), 7},
      {QVariant(QString("42")), std::nullopt},
      {QVariant(42.0), std::nullopt},
      {QVariant(qulonglong(1) << 63), std::nullopt},
  };
  for (const auto& [value, expected] : stored) {
    s.defaults->values["selectedDeviceID"] = value;
    EXPECT_EQ(s.store.selectedDeviceID(), expected) << value.toString().toStdString();
  }
  s.defaults->values["signedInEmail"] = 5;
  EXPECT_EQ(s.store.signedInEmail(), std::nullopt);
}

}  // namespace
