// The pipeline every writer runs (private to the writers): the selected
// scans are decoded ahead by a Prefetcher, then taken in batches; each
// spectrum of a batch goes through the processing chain and the writer's
// `prepare` on worker threads, and the writer's `emit` takes them on the
// calling thread in scan order. A few batches of spectra are in memory at
// any time, whatever the size of the run.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <expected>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "velorium/output/export.hpp"
#include "velorium/prefetch.hpp"
#include "velorium/text.hpp"

namespace velorium::output {

// Returns the ExportError of a failed write to `stream` from the enclosing
// function.
#define VELORIUM_WRITE(stream, text) \
  if (auto velorium_written = (stream).write(text); !velorium_written) return output_failure(velorium_written.error())

inline std::unexpected<ExportError> output_failure(const Error& error) {
  const auto* io = error.as_io();
  return std::unexpected(ExportError{ExportError::Kind::Output, error.display(), io ? io->code : std::error_code()});
}

inline std::unexpected<ExportError> input_failure(std::string context, const Error& error) {
  const auto* io = error.as_io();
  return std::unexpected(
      ExportError{ExportError::Kind::Input, context + ": " + error.display(), io ? io->code : std::error_code()});
}

// Runs the scans `indices` through the pipeline. `prepare(record, slot)`
// runs on several threads at once (one batch position each, `slot` being
// that position's, reused from batch to batch) after the chain, and
// `emit(record, slot, steps)` on the calling thread in scan order, `steps`
// being the chain's mask of the steps the spectrum went through. A scan
// that fails to decode or to be processed is reported in order; it ends
// the export unless the options skip it.
template <class Slot, class Prepare, class Emit>
std::expected<void, ExportError> run_pipeline(const Reader& reader, std::vector<std::size_t> indices,
                                              const ExportOptions& options, ExportSummary& summary, Prepare&& prepare,
                                              Emit&& emit) {
  const std::size_t total = indices.size();
  const unsigned threads = options.threads == 0 ? default_threads() : options.threads;
  const std::size_t batch_size = std::max<std::size_t>(1, std::size_t{threads} * 2);
  Prefetcher prefetcher(reader, std::move(indices), options.prefer, threads);
  struct Processed {
    process::Scratch scratch;
    std::uint64_t steps = 0;
    std::optional<std::string> failure;
    std::exception_ptr exception;  // out of memory on a worker, rethrown in order
  };
  std::vector<Slot> slots(batch_size);
  std::vector<Processed> processed(batch_size);
  std::vector<lumora::SpectrumRecord> batch;
  batch.reserve(batch_size);
  std::size_t done = 0;
  // A scan that could not be written: fails the export or is skipped.
  const auto failed = [&](std::string text) -> std::expected<void, ExportError> {
    if (!options.skip_bad_scans) return std::unexpected(ExportError{ExportError::Kind::Scan, std::move(text), {}});
    if (summary.skipped++ == 0) summary.first_skipped = std::move(text);
    ++done;
    if (options.progress) options.progress(done, total);
    return {};
  };
  bool more = true;
  while (more) {
    batch.clear();
    while (batch.size() < batch_size) {
      if (options.cancel != nullptr && options.cancel->load(std::memory_order_relaxed)) {
        return std::unexpected(ExportError{ExportError::Kind::Cancelled, "interrupted", {}});
      }
      auto item = prefetcher.next();
      if (!item) {
        more = false;
        break;
      }
      if (!*item) {
        // The text RawReader raises for the same scan (the prefetcher has
        // counted and logged the failure).
        if (auto skipped = failed(to_core(std::move(*item).error()).display()); !skipped) {
          return skipped;
        }
        continue;
      }
      batch.push_back(std::move(**item));
    }
    parallel_for(batch.size(), std::min<unsigned>(threads, static_cast<unsigned>(batch.size())), [&](std::size_t i) {
      Processed& p = processed[i];
      p.failure.reset();
      p.exception = nullptr;
      try {
        auto steps = options.chain.apply(batch[i], p.scratch);
        if (!steps) {
          p.failure = text::cat("scanId=", batch[i].scan_number, ": processing: ", steps.error().display());
          return;
        }
        p.steps = *steps;
        prepare(batch[i], slots[i]);
      } catch (...) {
        p.exception = std::current_exception();
      }
    });
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (processed[i].exception) std::rethrow_exception(processed[i].exception);
      if (processed[i].failure) {
        if (auto skipped = failed(std::move(*processed[i].failure)); !skipped) return skipped;
        continue;
      }
      if (auto emitted = emit(batch[i], slots[i], processed[i].steps); !emitted) {
        return std::unexpected(std::move(emitted).error());
      }
      ++done;
      if (options.progress) options.progress(done, total);
    }
  }
  if (summary.skipped != 0 && summary.skipped == total) {
    return std::unexpected(ExportError{ExportError::Kind::Scan,
                                       "no scan could be decoded (first failure: " + summary.first_skipped + ")", {}});
  }
  return {};
}

}  // namespace velorium::output
