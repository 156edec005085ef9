// SPDX-License-Identifier: GPL-2.0-or-later
// The thread the writers compress large files' pieces on.
#include "formats/piece_worker.h"

#include <system_error>
#include <utility>

PieceWorker::~PieceWorker() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

bool PieceWorker::Ready() {
  if (thread_.joinable()) return true;
  try {
    thread_ = std::thread(&PieceWorker::Run, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void PieceWorker::Start(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    job_ = std::move(job);
    pending_ = true;
    done_ = false;
  }
  wake_.notify_all();
}

void PieceWorker::Wait() {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait(hold, [this] { return done_; });
}

void PieceWorker::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    wake_.wait(hold, [this] { return pending_ || stop_; });
    if (!pending_) return;  // stopped with nothing in hand
    pending_ = false;
    std::function<void()> job = std::move(job_);
    hold.unlock();
    job();
    hold.lock();
    done_ = true;
    wake_.notify_all();
  }
}
