// The interface through which a reader delivers its records.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>

#include "lumora/error.hpp"
#include "lumora/types.hpp"

namespace lumora {

using SpectrumItem = std::expected<SpectrumRecord, Error>;
using ChromatogramItem = std::expected<ChromatogramRecord, Error>;

// A sequence of items that borrows its source: the source must outlive it.
template <class Item>
class ItemIterator {
 public:
  virtual ~ItemIterator() = default;

  // The next item, or nothing once the sequence is over. An error item does
  // not end the sequence by itself.
  virtual std::optional<Item> next() = 0;

  // Exact number of items not yet produced.
  virtual std::size_t remaining() const noexcept = 0;

  // Produces and discards `n` items, then returns the following one; skipped
  // items are still produced in full.
  std::optional<Item> nth(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!next()) return std::nullopt;
    }
    return next();
  }
};

using SpectrumIterator = ItemIterator<SpectrumItem>;
using ChromatogramIterator = ItemIterator<ChromatogramItem>;

class SpectrumSource {
 public:
  virtual ~SpectrumSource() = default;

  // One item per spectrum, in acquisition order, decoded lazily.
  virtual std::unique_ptr<SpectrumIterator> iter_spectra() const = 0;
  virtual RunMetadata run_metadata() const = 0;
  virtual std::unique_ptr<ChromatogramIterator> iter_chromatograms() const = 0;
};

}  // namespace lumora
