// Erasing the flash region and writing the firmware image into it block by block.
#include <algorithm>

#include "engine/update_session.h"

namespace px {

// Spreads the bar: a fixed share for each step without a byte count, the rest over the
// transferred bytes.
void CUpdateSession::PrepareProgressScale(bool withModule) {
  int fixedSteps = 0;
  int64_t bytes = 0;
  for (const FlashImageEntry& entry : FlashImageTable) {
    if (entry.kind == kFlashErase) {
      ++fixedSteps;
    } else if (entry.kind == kFlashWrite) {
      bytes += static_cast<int64_t>(images_.Of(static_cast<int>(entry.resourceId)).size());
    }
  }
  if (withModule) {
    ++fixedSteps;
    bytes += static_cast<int64_t>(images_.module.size());
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

bool CUpdateSession::Erase(uint32_t address, uint32_t size) {
  AddProgress(kFixedStepPercent);
  return Exchange(messages_.RomErase(address, size), Rules(MessageKind::RomErase, size));
}

// A good block resets both counts of its rules.
bool CUpdateSession::Write(uint32_t address, uint32_t size, int resourceId) {
  const std::span<const uint8_t> image = images_.Of(resourceId);
  // Never read past the image, whatever the table says.
  const uint32_t imageSize = static_cast<uint32_t>(image.size());
  const uint32_t total = size != 0 ? std::min(size, imageSize) : imageSize;
  const ExchangeRules rules = Rules(MessageKind::RomWrite);
  uint32_t offset = 0;
  do {
    const uint32_t block = std::min(kWriteBlock, total - offset);
    if (!Exchange(messages_.RomWrite(image.data() + offset, address + offset, block), rules)) {
      return false;
    }
    offset += block;
    Transferred(block);
  } while (offset < total);
  return true;
}

}  // namespace px
