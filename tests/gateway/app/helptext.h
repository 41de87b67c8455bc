// The usage text of busgated as its users see it, byte for byte.
#pragma once

namespace apptest {

inline const char* const EXPECTED_HELP =
    "\n"
    "Usage: busgated [OPTION]...\n\n"
    "It redirects all the Linkscope(PCI)'s packets to the ethernet network (UDP).\n"
    "By default, if no option is added, the app opens the first Linkscope found,\n"
    "and redirects the FIP flow to 57117 UDP port.\n\n"
    "Options:\n"
    "    -i, --index      device index [default=1st found]\n"
    "    -a, --ip_address ip address for unicast or multicast (broadcast mode if not set)\n"
    "    -p, --port       udp port number [default=57117]\n"
    "    -s, --stats_per  refresh period (ms) for displaying statistics [default=disabled]\n"
    "    -d, --daemon     daemonize this application (gnu/linux os only)\n"
    "    -l, --list       list host devices\n"
    "    -R, --lifesign   refresh period (ms) of lifesign packet [default=500 (500ms)]\n"
    "    -M, --max_evt    maximum events per udp datagram [default=1000]\n"
    "    -B, --buff_file  path to the buffer file [default=/tmp/solvane/busrecorder/buffer.bin]\n"
    "    -S, --buff_size  max size of the buffer in bytes [default=50000000 (50MB)]\n"
    "    -C, --conf_file  read configuration from the file\n"
    "    -L, --log_file   write logs to the file\n"
    "    -P, --pid_file   PID file used by daemonized app\n"
    "    -v, --version    show version and exit\n"
    "    -h, --help       show this help and exit\n"
    "\n"
    "Examples: \n"
    "    busgated -i 1 -p 55010\n"
    "    busgated -d\n"
    "\n";

}  // namespace apptest
