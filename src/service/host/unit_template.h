// The systemd unit of the service, shared by the unit that -Service writes and the one the
// package installs (cmake/install.cmake takes the text of the one raw string literal out of
// this file, so keep it a single literal with the "unit" delimiter). @PROGRAM@ is the program's
// full path and @PROFILE_DIR@ the profile directory; the packaged unit also gets an [Install]
// section appended.
//
// ExecStartPre runs the configuration test (-t) with the same user, working directory,
// environment and sandbox as the service, so a broken configuration fails the start with its
// problems in `systemctl status` and the journal.
//
// The service runs as "vokelmng": the package creates that system user and gives it the profile
// directory, so "service save" can replace VoKelMng.ini there. Where no such user exists systemd
// makes a transient one of that name (DynamicUser=). Its only privilege is CAP_NET_RAW for the
// raw ICMP keepalive; it writes only to the profile directory and /var/lib/vokelmng.
#pragma once

constexpr char kUnitTemplate[] =
    R"unit([Unit]
Description=VoKelMng quarantine service
Documentation=man:VoKelMng(8) man:vokelmng.ini(5)
After=network-online.target
Wants=network-online.target

[Service]
Type=notify
NotifyAccess=main
ExecStartPre="@PROGRAM@" -t
ExecStart="@PROGRAM@"
Restart=on-failure
RestartSec=2s
RestartPreventExitStatus=2
WorkingDirectory=/var/lib/vokelmng
StateDirectory=vokelmng
Environment="VOKELMNG_CONFIG_DIR=@PROFILE_DIR@"
ReadWritePaths=-@PROFILE_DIR@
User=vokelmng
Group=vokelmng
DynamicUser=yes
UMask=0077
AmbientCapabilities=CAP_NET_RAW
CapabilityBoundingSet=CAP_NET_RAW
NoNewPrivileges=yes
ProtectSystem=strict
ProtectHome=yes
PrivateTmp=yes
PrivateDevices=yes
DevicePolicy=closed
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
ProtectProc=invisible
ProcSubset=pid
KeyringMode=private
LockPersonality=yes
MemoryDenyWriteExecute=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
RestrictNamespaces=yes
RemoveIPC=yes
RestrictAddressFamilies=AF_INET AF_UNIX AF_NETLINK
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged
SystemCallErrorNumber=EPERM
)unit";
