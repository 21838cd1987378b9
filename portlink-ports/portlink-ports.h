// portlink-ports: what its files share. The tables of the ports a program may
// be given, the records of the command line and of each port, and the
// functions that one file offers the others, each with its contract.
//
// Files: portlink-ports.cpp (the sequence, main), command_line.cpp, messages.cpp,
// mount_namespace.cpp, users.cpp, ports.cpp, line_counters.cpp, program.cpp,
// reconnect.cpp.
#ifndef PORTLINK_PORTS_PORTLINK_PORTS_H
#define PORTLINK_PORTS_PORTLINK_PORTS_H

#include <signal.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

// The ports a program may be given: the option, the node inside, its folder.
struct PortName {
  const char *option;
  const char *node;
  const char *folder;  // made first when not null
};
constexpr PortName port_names[] = {
    {"--tts0", "/dev/tts/0", "/dev/tts"},
    {"--ttyS0", "/dev/ttyS0", nullptr},
};
constexpr int port_count = static_cast<int>(sizeof port_names / sizeof port_names[0]);

// What the command line asks for.
struct Request {
  const char *devices[port_count];  // null: the port does not exist inside
  bool reset;                       // put each terminal's settings back afterwards
  bool report;                      // print what each terminal's driver counted
  bool reconnect;                   // follow a terminal that goes away
  char **program;                   // PROGRAM and its arguments, null-terminated
};

// What a serial driver counts on its line since the port was set up: the
// kernel's struct serial_icounter_struct, as TIOCGICOUNT fills it in.
struct LineCounts {
  int cts, dsr, rng, dcd;
  int rx, tx;
  int frame, overrun, parity, brk;
  int buf_overrun;
  int reserved[9];
};

// A device as opened for the program.
struct Port {
  const char *device;  // as the user named it
  struct stat seen;    // as the caller sees it, for advice only; st_mode 0: not seen
  struct stat opened;  // the node opened
  int fd;              // -1: not named
  bool held;           // a terminal locked here (not a second name of one)
  bool saved_ok;       // its settings were read into `saved`
  struct termios saved;
  bool counted;  // its driver's counts were read into `before`
  LineCounts before;
  // The settings of the first node opened, given to a node that comes back
  // in its place.
  bool prepared_ok;
  struct termios prepared;
  bool away;            // went away after a run; waited for
  unsigned returns;     // how many times it has come back
  struct stat refused;  // the node last refused, as seen then; st_mode 0: none
};

// messages.cpp: the texts this command prints.

// Joins the texts `a` to `h` into `out` of `size` bytes; false (and as much
// as fits) when they do not fit.
bool join(char *out, size_t size, const char *a, const char *b = "", const char *c = "",
          const char *d = "", const char *e = "", const char *f = "", const char *g = "",
          const char *h = "");
// Adds the texts `a` to `f` to the end of the text in `out` of `size` bytes.
void append(char *out, size_t size, const char *a, const char *b = "", const char *c = "",
            const char *d = "", const char *e = "", const char *f = "");
// The decimal digits of `value`, in `out`.
const char *decimal(unsigned long value, char (&out)[24]);
// Writes `text` whole to descriptor `fd`; false when it cannot.
bool put(int fd, const char *text);
// Prints "portlink-ports: " and the texts `a` to `g` as one line on standard
// error (cut short when it is very long).
void say(const char *a, const char *b = "", const char *c = "", const char *d = "",
         const char *e = "", const char *f = "", const char *g = "");

// command_line.cpp

// Reads the command line; prints help or version (status 0) or a usage error
// (status 2) and ends the process when that is what it holds.
Request parse(int argc, char **argv);

// mount_namespace.cpp

// What became of the namespace: made plain, made in a user namespace, or not.
enum class Namespace { plain, in_user_namespace, refused };
// Makes this process's private mount namespace: a plain one where the caller
// may (root), else one in a new user namespace, whose ids map_caller() maps.
// When neither can be made, leaves the errno of the last try.
Namespace enter_namespace();
// In the new user namespace, the caller is who they are outside (their own
// ids, not root). Ends the process with status 2 when they cannot be mapped.
void map_caller(uid_t uid, gid_t gid);
// Says that the namespace cannot be had (errno `code`), and what would allow
// it, and ends the process with status 2.
[[noreturn]] void fail_namespace(int code);
// Lays a fresh /dev over the machine's in this namespace: the harmless nodes,
// pts, the usual links, and the open ports of `ports` at their nodes. Ends
// the process with status 2 when it cannot.
void build_dev(const Port ports[]);
// Takes that /dev away again, so that paths in /dev name what they name for
// the caller; false when it cannot.
bool leave_dev();

// users.cpp

// Says that the user `caller` may not open `device` (as `seen` shows it) and
// what would let them: a group to join, else sudo or its owner.
void say_permission(const char *device, uid_t caller, const struct stat &seen);

// ports.cpp

// Says "DEVICE: why" and ends the process with status 2.
[[noreturn]] void fail_device(const char *device, const char *why);
// Fills `ports` with the devices `request` names and what the caller sees of
// each (only to advise them when they may not open it); nothing is opened.
void look_at_ports(const Request &request, Port ports[]);
// Opens the devices of `ports` as the caller `caller`; a terminal is locked
// and its settings kept; the same device named twice is opened once. False
// when one cannot be had, having said why (not again when the same node was
// refused the time before); a port that was a terminal must be one again.
bool open_ports(uid_t caller, Port ports[]);
// Closes the devices of `ports`, which lets their locks go.
void close_ports(Port ports[]);
// Whether the terminal `port` has gone away: it hung up, or its path no
// longer names the node opened, as this namespace resolves it.
bool gone(const Port &port);
// After the program: waits for what it wrote to leave each held terminal
// (discarding it, and saying how much, when it does not move for a few
// seconds and the settings are to be put back, or when a signal of `watched`
// comes), prints the report of its counters, and puts its settings back, as
// `request` asks.
void finish_ports(const Request &request, const Port ports[], const sigset_t &watched);

// line_counters.cpp

// Reads the counts of the terminal `port` into its `before`, for the report.
void count_before(Port &port);
// Prints the report of the terminal `port` on standard error: the counts
// since count_before(), with a line on the likely causes of any errors; or
// that its driver keeps no counters (nothing for a pseudo-terminal).
void report_counts(const Port &port);
// The report line of `device` for the counts from `before` to `after`,
// without the "portlink-ports: " in front, in `out` of `size` bytes.
void format_counts(char *out, size_t size, const char *device, const LineCounts &before,
                   const LineCounts &after);
// The line on what usually causes the errors counted from `before` to
// `after`, in the form of format_counts(); false (and `out` empty) when none.
bool format_causes(char *out, size_t size, const char *device, const LineCounts &before,
                   const LineCounts &after);

// program.cpp

// Gives each closed standard descriptor a placeholder that is closed again
// at exec, so that the program finds it closed and nothing lands on it.
// Ends the process with status 2 when it cannot.
void hold_closed_standard_descriptors();
// Blocks the signals that are passed on to the program (SIGINT, SIGTERM,
// SIGHUP, those the caller does not ignore) and SIGCHLD, into `watched`,
// until the program runs; keeps the mask and SIGCHLD's action as they were
// in `original` and `child_action`, for the program.
void hold_signals(sigset_t &watched, sigset_t &original, struct sigaction &child_action);
// Whether a signal of `watched` that asks to end (not SIGCHLD) is pending.
bool asked_to_end(const sigset_t &watched);
// Ends this process by a signal of `watched` that came before the program
// ran, as the caller asked (128 + N, should it not end it); returns when
// none came.
void end_if_signalled(const sigset_t &watched);
// Starts `program` as a child that dies with this process, with `original`
// as its signal mask and `child_action` for SIGCHLD; returns its id. When it
// cannot be run the child says why and ends with 126 or 127; when no child
// can be made, ends this process with status 2.
pid_t start_program(char *const program[], const sigset_t &original,
                    const struct sigaction &child_action);
// Waits for the program `child` to end, passing on the signals of `watched`
// that come from another process; returns its status as a shell gives it,
// and whether such a signal came (from another process or the terminal) in
// `signalled`.
int wait_for(pid_t child, const sigset_t &watched, bool &signalled);

// reconnect.cpp

// After a run that no signal ended: when a terminal of `ports` has gone
// away, says so, waits until its path names a terminal again that the
// caller `caller` can have, and opens every port anew in a fresh namespace,
// saying that it is back and how many times it has come back; true then.
// False when none went away. SIGINT, SIGTERM or SIGHUP during the wait ends
// the process with 128 + N.
bool follow_ports(uid_t caller, Port ports[], const sigset_t &watched);

#endif
