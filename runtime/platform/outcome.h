// How a failed platform call ended, in the few terms the layers above act on. Every call
// of the platform that reports a failure leaves its outcome for the calling thread to ask.
#pragma once
#include <cstdint>

enum class SysOutcome : int32_t {
  ok = 0,           // no failure
  other,            // nothing the layers above tell apart
  would_block,      // nothing can be taken or given without waiting
  timed_out,        // a wait ran out
  closed,           // the connection is gone: aborted, reset, not connected, shut down
  reset,            // the peer aborted the connection
  refused,          // nobody takes the connection
  host_unreachable,    // no way to the host, or it is down
  network_unreachable, // no way to its network, or this one is down
  address_in_use,   // the port is taken
  no_family,        // the system has no such address family or protocol option
  exhausted,        // no descriptor or memory left for a new socket
  disk_full,        // the disk or the user's quota is full
  read_only,        // the file system takes no writes
  not_found,        // no such file or folder, a name too long, a loop of links
  no_permission,    // the process may not do it
  folder,           // a folder where a file was asked for
  not_regular,      // neither a regular file nor a folder
  unsupported,      // the system or the object cannot do it
  foreign_owner,    // another user's file in a shared sticky folder
  incomplete,       // a file written in place was cut short
  moved,            // the path's folder is no longer where the path says
};

// The outcome of the calling thread's last failed platform call.
SysOutcome sys_outcome();

// Sets the calling thread's outcome, for a layer that fails for a reason of its own (a
// wait it bounds ran out), so that its callers read it the same way.
void sys_set_outcome(SysOutcome outcome);
