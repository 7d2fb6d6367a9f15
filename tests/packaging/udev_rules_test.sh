#!/usr/bin/env bash
# Parses the udev rules file (syntax as udev reads it: KEY{attr}OP"value"
# pairs separated by commas) and checks that it grants uaccess to the
# modules' vendor ID with product IDs below 0x8000 and to the i.MX boot ROM
# (1fc9:0130, USB and hidraw).
#
# udev_rules_test.sh RULES_FILE VENDOR_ID_HEX
set -euo pipefail
rules=$1
vendor=$2

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

match_keys='ACTION|SUBSYSTEM|SUBSYSTEMS|KERNEL|KERNELS|DRIVER|DRIVERS|ENV\{[A-Za-z_]+\}|ATTR\{[A-Za-z_]+\}|ATTRS\{[A-Za-z_]+\}'
assign_keys='TAG|GOTO|LABEL|MODE|GROUP|OWNER|ENV\{[A-Za-z_]+\}|SYMLINK|RUN\{builtin\}'
labels=() gotos=()
declare -a grants=()
n=0
while IFS= read -r line || [[ -n $line ]]; do
  n=$((n + 1))
  [[ $line =~ ^[[:space:]]*(#|$) ]] && continue
  assignments=0
  rest=$line
  while [[ -n $rest ]]; do
    if [[ $rest =~ ^[[:space:]]*(($match_keys)(==|!=)|($assign_keys)(=|\+=|:=))\"([^\"]*)\"[[:space:]]*(,|$)(.*)$ ]]; then
      [[ -n ${BASH_REMATCH[4]} ]] && assignments=$((assignments + 1))
      [[ ${BASH_REMATCH[4]} == LABEL ]] && labels+=("${BASH_REMATCH[6]}")
      [[ ${BASH_REMATCH[4]} == GOTO ]] && gotos+=("${BASH_REMATCH[6]}")
      rest=${BASH_REMATCH[8]}
      [[ ${BASH_REMATCH[7]} == , && -z ${rest// /} ]] && fail "line $n: trailing comma"
    else
      fail "line $n: cannot parse '$rest'"
      break
    fi
  done
  ((assignments > 0)) || fail "line $n: a rule without an action"
  [[ $line == *'TAG+="uaccess"'* ]] && grants+=("$line")
done <"$rules"
for g in "${gotos[@]}"; do
  [[ " ${labels[*]} " == *" $g "* ]] || fail "GOTO \"$g\" has no LABEL"
done

# The grants: which device each rule with uaccess matches.
module_product=""
imx_usb=0 imx_hidraw=0
for g in "${grants[@]}"; do
  if [[ $g =~ ATTRS?\{idVendor\}==\"$vendor\" && $g =~ ATTRS?\{idProduct\}==\"([^\"]*)\" ]]; then
    module_product=${BASH_REMATCH[1]}
  fi
  if [[ $g == *'idVendor}=="1fc9"'* && $g == *'idProduct}=="0130"'* ]]; then
    [[ $g == *'SUBSYSTEM=="usb"'* ]] && imx_usb=1
    [[ $g == *'SUBSYSTEM=="hidraw"'* ]] && imx_hidraw=1
  fi
done
if [[ -z $module_product ]]; then
  fail "no uaccess rule for vendor $vendor"
else
  # udev matches with fnmatch, as bash patterns do: modules are the product IDs below 0x8000.
  # shellcheck disable=SC2053
  for id in 0000 0001 1234 7fff; do [[ $id == $module_product ]] || fail "product $id not granted by '$module_product'"; done
  # shellcheck disable=SC2053
  for id in 8000 8001 ffff 123 12345; do [[ $id != $module_product ]] || fail "product $id granted by '$module_product'"; done
fi
((imx_usb)) || fail "no uaccess rule for the i.MX boot ROM on USB (1fc9:0130)"
((imx_hidraw)) || fail "no uaccess rule for the i.MX boot ROM's hidraw device (1fc9:0130)"

if ((failures > 0)); then
  exit 1
fi
echo "udev rules pass: ${#grants[@]} grants"
