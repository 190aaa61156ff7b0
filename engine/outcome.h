#pragma once

namespace px {

// The steps of a run, for front ends that report them.
enum class UpdateStep {
  Identify,
  Semaphore,
  Mute,
  UpdateStart,
  FileDelete,
  FileWrite,
  Erase,
  Write,
  Complete,
};
const char* StepName(UpdateStep step);

// How the run ended, for front ends that need more than its text (an exit status).
enum class RunOutcome {
  None,
  Completed,
  Refused,     // the device answered with an error, or is not a PX-550LN
  TimedOut,    // the device did not answer
  PortFailed,  // the port could not be opened
  NotStarted,  // the images or the worker thread failed before anything was sent
  Declined,    // the front end declined to go on after identification
  Aborted,
  OutOfStep,  // the device answered more often than it was asked: a refusal may have gone unseen
};

}  // namespace px
