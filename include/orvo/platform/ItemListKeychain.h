/// @file
/// The keychain's item rules over a list of items in memory.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "orvo/Export.h"
#include "orvo/platform/Keychain.h"

namespace orvo {

/// The item matching rules on an in-memory item list. The desktop keychain
/// keeps its items here and persists each change.
class ORVO_PUSH_API ItemListKeychain : public Keychain {
 public:
  /// Items without a group go to defaultAccessGroup.
  explicit ItemListKeychain(std::string defaultAccessGroup = "ORVOSEED01.orvo.default");

  KeychainStatus copyMatching(const Dictionary& query, Value* result) override;
  KeychainStatus add(const Dictionary& attributes, Value* result) override;
  KeychainStatus update(const Dictionary& query, const Dictionary& changes) override;
  KeychainStatus remove(const Dictionary& query) override;

  /// The items as attribute dictionaries, each with its v_Data.
  /// @{
  std::vector<Dictionary> items() const;
  void setItems(std::vector<Dictionary> items);
  /// @}

 protected:
  /// Called with the lock held after a change to the item list; a false
  /// answer rolls the change back and the call reports Other.
  virtual bool persist(const std::vector<Dictionary>& items);

 private:
  mutable std::mutex mutex_;
  std::string defaultAccessGroup_;
  std::vector<Dictionary> items_;
};

}  // namespace orvo
