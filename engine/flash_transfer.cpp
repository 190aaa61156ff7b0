// Erasing the flash region and writing the firmware image into it block by block.
#include <algorithm>

#include "engine/strings.h"
#include "engine/update_engine.h"

namespace px {

// Spreads the bar: 5 % for each step without a byte count, the rest over the transferred bytes.
void CUpdateEngine::PrepareProgressScale(bool withModule) {
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
  ui_.OnTransfer(0, static_cast<uint64_t>(bytes));
}

int CUpdateEngine::FlashTransfer() {
  for (const FlashImageEntry& entry : FlashImageTable) {
    int result = 0;
    if (entry.kind == kFlashErase) {
      ui_.OnStep(UpdateStep::Erase);
      result = Erase(entry.address, entry.size);
    } else if (entry.kind == kFlashWrite) {
      ui_.OnStep(UpdateStep::Write);
      result = Write(entry.address, entry.size, static_cast<int>(entry.resourceId));
    }
    if (result != 0) return -1;
  }
  return 0;
}

// Sent once per try: a time-out ends it at once, an error reply is retried after a pause up to
// six times.
int CUpdateEngine::Erase(uint32_t address, uint32_t size) {
  const uint32_t wait = EraseWaitMs(timing_, size);
  AddProgress(5.0f);
  const int length = messages_.RomErase(messages_.DeviceId, address, size);
  ExchangeRules rules = Rules(Attempts(1, 7, timing_.resendPauseMs, wait), IDS_TIMEOUT_ROM_ERASE,
                              IDS_ERROR_ROM_ERASE);
  rules.policy.timed = false;  // its answer waits for the erase itself
  return Exchange(length, rules) ? 0 : -1;
}

// Each block may time out five times and be refused six times; a good block resets both counts.
int CUpdateEngine::Write(uint32_t address, uint32_t size, int resourceId) {
  const uint8_t* image = nullptr;
  const int32_t imageSize = loader_(resourceId, &image);
  if (imageSize < 0) {
    FailRun(LoadText(IDS_IMAGE_MISSING));
    return -1;
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
    if (!Exchange(length, rules)) return -1;
    offset += block;
    Transferred(block);
  } while (offset < total);
  return 0;
}

}  // namespace px
