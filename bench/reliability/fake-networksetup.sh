#!/bin/bash
# A stand-in for macOS's networksetup, installed at /usr/sbin/networksetup only inside the
# reliability scripts' mount namespace. Three services, one of them disabled; each service's DNS
# servers live in a file in the state folder (one server per line, no file: none of its own).
# Shell built-ins only, so that a run costs little next to what the agent itself does.
state='@STATE@'
printf '%s\n' "$*" >>"$state/calls.log"

case "$2" in
  "" | "Wi-Fi" | "USB 10/100/1000 LAN" | "Bluetooth PAN") ;;
  *)
    echo "$2 is not a recognized network service."
    echo "** Error: The parameters were not valid."
    exit 4
    ;;
esac
file="$state/${2//\//_}.servers"

case "$1" in
  -listallnetworkservices)
    echo "An asterisk (*) denotes that a network service is disabled."
    echo "Wi-Fi"
    echo "USB 10/100/1000 LAN"
    echo "*Bluetooth PAN"
    ;;
  -getdnsservers)
    if [ -s "$file" ]; then
      while IFS= read -r server; do echo "$server"; done <"$file"
    else
      echo "There aren't any DNS Servers set on $2."
    fi
    ;;
  -setdnsservers)
    shift 2
    if [ "$#" -eq 1 ] && [ "$1" = "Empty" ]; then
      : >"$file"
    else
      printf '%s\n' "$@" >"$file"
    fi
    ;;
  *)
    echo "** Error: The parameters were not valid."
    exit 4
    ;;
esac
