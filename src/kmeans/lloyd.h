// The steps of one Lloyd iteration: assign every row to its nearest
// centroid, then move each centroid to the mean of its rows. The loop that
// repeats them, its stop rule and the shape checks are kmeans.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kmeans/kmeans_core.h"

namespace tarnwick::kmeans_detail {

class LloydSteps {
 public:
  // X is n×d row-major, centroids k×d and refined in place. Every label
  // starts at 0; nothing else is allocated before start().
  LloydSteps(const float* X, std::size_t n, std::size_t d, std::size_t k, float* centroids,
             Schedule schedule);
  ~LloydSteps();
  LloydSteps(const LloydSteps&) = delete;
  LloydSteps& operator=(const LloydSteps&) = delete;

  // Rows per assignment block, fixed by the shape.
  std::size_t rows_per_block() const;

  // Takes what the iterations need beyond the labels; once, before assign().
  void start();

  // Labels every row by the current centroids; returns how many changed.
  std::size_t assign();

  // Moves each centroid with rows to the mean of the rows that the last
  // assign() gave it; an empty cluster keeps its centroid.
  void update();

  // Frees the working buffers and returns the labels.
  Buffer<std::int64_t> finish();

 private:
  class State;
  std::unique_ptr<State> state_;
};

}  // namespace tarnwick::kmeans_detail
