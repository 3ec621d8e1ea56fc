// How the engine uses the marketplace's connections and how many requests it has there at once.
// Set on the Collector before Start. The defaults are the window's way, which the window keeps;
// CommandLine() is the way of the command line, made for long unattended walks.
#pragma once

namespace shopwalk {

struct EnginePolicy {
  // The rating fetch, the row append and the status texts of a task run under the run's result
  // lock, one task at a time. Off, rating fetches of different tasks overlap and only the row
  // append is kept whole and in order (by the engine's own row lock).
  bool ratingUnderLock = true;
  // Each task makes a new web client and drops it, with its connections, when it ends. Off, each
  // worker thread keeps one client for its life: its connection to the rating host, shared by
  // every shop, stays open from task to task, while the connection to a shop's own host (asked
  // once) is closed as soon as its page has arrived.
  bool clientPerTask = true;
  // The most requests the walk has at the marketplace at once; a task waits for its turn before
  // each request. 0 or less: no limit beyond one request per worker.
  int maxConcurrentRequests = 0;
  // The web client's limits for each request, in milliseconds: the time to make a connection,
  // and the longest wait with nothing received. 0 or less keeps the client's own bounds (60 s
  // and 30 s). They are the network's time (the real clock), whatever clock the engine runs on.
  int connectTimeoutMs = 0;
  int receiveTimeoutMs = 0;

  // The command line's policy: kept clients, rating fetches outside the lock, and at most
  // `maxConcurrentRequests` requests at once (0 or less: no limit).
  static EnginePolicy CommandLine(int maxConcurrentRequests) {
    EnginePolicy policy;
    policy.ratingUnderLock = false;
    policy.clientPerTask = false;
    policy.maxConcurrentRequests = maxConcurrentRequests;
    return policy;
  }
};

}  // namespace shopwalk
