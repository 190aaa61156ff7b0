#include "cli/hints.h"

namespace px::cli {
namespace {

struct HintRow {
  HintCause cause;
  const char* text;
};

constexpr HintRow kHints[] = {
    {HintCause::kNoAnswer,
     "No pedal answered. Set the pedal to firmware update mode, check that it is paired, and "
     "that this is its port: 'px550-update ports' lists them."},
    {HintCause::kNotAPedal,
     "Something other than a PX-550LN answered on this port. 'px550-update ports' lists the "
     "ports; pick the pedal's."},
    {HintCause::kPermission,
     "You may not use this port. Check its owner and permissions (ls -l on the port)."},
    {HintCause::kPermissionDialout,
     "You may not use this port: serial ports belong to the dialout group. Add yourself with "
     "'sudo usermod -aG dialout $USER', then log out and in again."},
    {HintCause::kPermissionDialer,
     "You may not use this port: serial ports belong to the dialer group. Add yourself with "
     "'pw groupmod dialer -m $USER' as root, then log out and in again."},
    {HintCause::kBusy,
     "Another program is using this port. Close it (another updater, a terminal program, a "
     "MIDI tool) and try again."},
    {HintCause::kNotConnected,
     "The Bluetooth connection to the pedal is not up. Switch the pedal on in firmware update "
     "mode, keep it near, check the pairing (bluetoothctl) and try again."},
    {HintCause::kMissing,
     "No such port. Is the pedal paired? 'px550-update ports' lists the ports."},
    {HintCause::kMissingRfcomm,
     "No such port. Is the pedal paired and its serial port bound ('rfcomm bind')? "
     "'px550-update ports' lists the ports."},
    {HintCause::kLineLost,
     "The port went away: the pedal was switched off or went out of range. Bring it near, "
     "switch it on and start the update again."},
    {HintCause::kStoppedAnswering,
     "The pedal stopped answering: it may be out of range or switched off. Bring it near and "
     "start the update again."},
    {HintCause::kRefusedData,
     "The pedal kept refusing the data, as over a poor connection. Bring it nearer and start "
     "the update again."},
};

// Steps in which the pedal takes data: a refusal there is about the data or the line.
bool TakesData(UpdateStep step) {
  return step == UpdateStep::FileDelete || step == UpdateStep::FileWrite ||
         step == UpdateStep::Erase || step == UpdateStep::Write;
}

}  // namespace

HintCause HintCauseOf(const HintFacts& f) {
  switch (f.outcome) {
    case RunOutcome::PortFailed:
      return f.openCause;
    case RunOutcome::TimedOut:
      if (f.lineFailed) return HintCause::kLineLost;
      return f.step == UpdateStep::Identify ? HintCause::kNoAnswer : HintCause::kStoppedAnswering;
    case RunOutcome::Refused:
      // Refusals before the data have texts of their own that say what to do (update mode,
      // battery); a refusal of identification means another device.
      if (f.step == UpdateStep::Identify) return HintCause::kNotAPedal;
      return TakesData(f.step) ? HintCause::kRefusedData : HintCause::kNone;
    default:
      return HintCause::kNone;
  }
}

const char* HintText(HintCause cause) {
  for (const HintRow& row : kHints) {
    if (row.cause == cause) return row.text;
  }
  return "";
}

}  // namespace px::cli
