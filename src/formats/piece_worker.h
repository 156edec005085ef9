// SPDX-License-Identifier: GPL-2.0-or-later
// A thread that runs one job at a time beside the caller's.
//
// A large file is stored piece by piece: read a piece, compress it, write
// the result. The writers of versions 1, 2 and 5 give the compression of
// one piece to this thread while their own reads the next piece and
// writes the previous result, so that the kernel's copies and the
// compression take turns on two cores instead of one. The caller keeps
// the order of everything it writes and reports, so the bytes, codes and
// log lines are those of one thread doing it all.
#ifndef KVMORVEL_FORMATS_PIECE_WORKER_H
#define KVMORVEL_FORMATS_PIECE_WORKER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class PieceWorker {
 public:
  PieceWorker() = default;
  // Waits for the job in hand, then ends the thread.
  ~PieceWorker();
  PieceWorker(const PieceWorker&) = delete;
  PieceWorker& operator=(const PieceWorker&) = delete;

  // Starts the thread, once. False when it cannot be started: the caller
  // then does the work on its own thread.
  bool Ready();
  // Hands over a job. One at a time: Wait comes between two Starts, and
  // whatever the job touches stays the job's until Wait returns. A job
  // makes no call of the Win32 layer (its last error is per thread).
  void Start(std::function<void()> job);
  // Waits until the job handed over last has run.
  void Wait();

 private:
  void Run();

  std::mutex lock_;
  std::condition_variable wake_;
  std::thread thread_;
  std::function<void()> job_;
  bool pending_ = false;  // a job waits for the thread
  bool done_ = true;      // the last job has run
  bool stop_ = false;
};

#endif  // KVMORVEL_FORMATS_PIECE_WORKER_H
