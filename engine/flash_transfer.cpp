// Erasing the flash region and writing the firmware image into it block by block.
#include <algorithm>

#include "engine/strings.h"
#include "engine/update_session.h"

namespace px {

// Spreads the bar: a fixed share for each step without a byte count, the rest over the
// transferred bytes.
void CUpdateSession::PrepareProgressScale(bool withModule) {
  int fixedSteps = 0;
  int64_t bytes = 0;
  auto imageBytes = [this](int resourceId) {
    const uint8_t* image = nullptr;
    return std::max<int32_t>(0, loader_(resourceId, &image));
  };
  for (const FlashImageEntry& entry : FlashImageTable) {
    if (entry.kind == kFlashErase) {
      ++fixedSteps;
    } else if (entry.kind == kFlashWrite) {
      bytes += imageBytes(static_cast<int>(entry.resourceId));
    }
  }
  if (withModule) {
    ++fixedSteps;
    bytes += imageBytes(kModuleResource);
  }
  progress_.Prepare(fixedSteps, bytes);
  observer_->OnTransfer(0, static_cast<uint64_t>(bytes));
}

bool CUpdateSession::FlashTransfer() {
  for (const FlashImageEntry& entry : FlashImageTable) {
    bool done = true;
    if (entry.kind == kFlashErase) {
      Begin(UpdateStep::Erase);
      done = Erase(entry.address, entry.size);
    } else if (entry.kind == kFlashWrite) {
      Begin(UpdateStep::Write);
      done = Write(entry.address, entry.size, static_cast<int>(entry.resourceId));
    }
    if (!done) return false;
  }
  return true;
}

// Sent once per try: a time-out ends it at once, an error reply is retried after a pause up to
// six times.
bool CUpdateSession::Erase(uint32_t address, uint32_t size) {
  const uint32_t wait = EraseWaitMs(timing_, size);
  AddProgress(kFixedStepPercent);
  const int length = messages_.RomErase(messages_.DeviceId, address, size);
  ExchangeRules rules = Rules(Attempts(1, 7, timing_.resendPauseMs, wait), IDS_TIMEOUT_ROM_ERASE,
                              IDS_ERROR_ROM_ERASE);
  rules.policy.timed = false;  // its answer waits for the erase itself
  return Exchange(length, rules);
}

// Each block may time out five times and be refused six times; a good block resets both counts.
bool CUpdateSession::Write(uint32_t address, uint32_t size, int resourceId) {
  const uint8_t* image = nullptr;
  const int32_t imageSize = loader_(resourceId, &image);
  if (imageSize < 0) {
    Fail(LoadText(IDS_IMAGE_MISSING));
    return false;
  }
  // Never read past the image, whatever the table says.
  const uint32_t total = size != 0 ? std::min(size, static_cast<uint32_t>(imageSize))
                                   : static_cast<uint32_t>(imageSize);
  const ExchangeRules rules =
      Rules(Attempts(6, 7, timing_.resendPauseMs), IDS_TIMEOUT_ROM_WRITE, IDS_ERROR_ROM_WRITE);
  uint32_t offset = 0;
  do {
    const uint32_t block = std::min(kWriteBlock, total - offset);
    const int length =
        messages_.RomWrite(messages_.DeviceId, image + offset, address + offset, block);
    if (!Exchange(length, rules)) return false;
    offset += block;
    Transferred(block);
  } while (offset < total);
  return true;
}

}  // namespace px
