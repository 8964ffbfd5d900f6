# bash completion for pelvane, pelvane-cli, pelvane-sim and pelvane-pkg.
# Installed as .../bash-completion/completions/pelvane-cli, with the other
# programs' names linked to it.

# Firmware packages (*.qxpkg in any case) and folders, for a package argument.
_pelvane_packages() {
  local cur=$1 f
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  for f in $(compgen -f -- "$cur"); do
    if [[ -d $f || ${f,,} == *.qxpkg ]]; then
      COMPREPLY+=("$f")
    fi
  done
}

# Serial devices of this machine and GPIB, for --port.
_pelvane_ports() {
  local cur=$1 d
  local candidates=(GPIB)
  for d in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/serial/by-id/*; do
    [[ -e $d ]] && candidates+=("$d")
  done
  local IFS=$'\n'
  COMPREPLY+=($(compgen -W "${candidates[*]}" -- "$cur"))
}

_pelvane_files() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY+=($(compgen -f -- "$1"))
}

_pelvane_folders() {
  local IFS=$'\n'
  compopt -o filenames 2>/dev/null
  COMPREPLY+=($(compgen -d -- "$1"))
}

_pelvane_options() {
  COMPREPLY+=($(compgen -W "$2" -- "$1"))
}

_pelvane() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=""
  ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
  # bash splits "--port=/dev/tt" at "=" (COMP_WORDBREAKS): the value is then
  # completed as if it followed "--port" as a word of its own.
  if [[ $cur == = ]]; then
    cur=""
  elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
    prev=${COMP_WORDS[COMP_CWORD - 2]}
  fi
  local program=${1##*/}
  COMPREPLY=()

  case $program in
    pelvane)
      case $prev in
        --file) _pelvane_packages "$cur"; return ;;
        --port) _pelvane_ports "$cur"; return ;;
        --language) return ;;
      esac
      if [[ $cur == -* ]]; then
        _pelvane_options "$cur" "--file --port --language --autostart --transfer-only
          --advanced --help --version"
      else
        _pelvane_packages "$cur"
      fi
      ;;
    pelvane-cli)
      case $prev in
        --package | -P) _pelvane_packages "$cur"; return ;;
        --port | -p) _pelvane_ports "$cur"; return ;;
        --report | --trace) _pelvane_files "$cur"; return ;;
        --output-dir | -o) _pelvane_folders "$cur"; return ;;
        --language | --idle-timeout | --wait-device | --read | --match) return ;;
      esac
      _pelvane_options "$cur" "--package --port --language --transfer-only --verify --yes --json
        --quiet --verbose --idle-timeout --no-resend --wait-device --wait-boot --report --trace
        --output-dir --summary --identify --backup --read --verify-only --dry-run --ports-from-list
        --match --list-ports --help --version -P -p -y -j -o -q -v -V -h"
      ;;
    pelvane-sim)
      case $prev in
        --package) _pelvane_packages "$cur"; return ;;
        --device) _pelvane_ports "$cur"; return ;;
        --dump) _pelvane_folders "$cur"; return ;;
        --link | --gpib-socket | --transcript | --summary) _pelvane_files "$cur"; return ;;
        --boot-verdict)
          _pelvane_options "$cur" "T P F O C silent"
          return
          ;;
        --baud | --adapter-latency | --gpib-tcp | --byte-timeout | --ack-timeout | --memory | --fill | \
          --preload | --seed | \
          --boot-fault-upload | --fail-prog | --fail-erase | --bad-checksum | --short-read | --corrupt-stored | \
          --long-read | --corrupt-response | --wrong-code | --silent-after | --vanish-after | --vanish-at | --noise | \
          --noise-after)
          return
          ;;
      esac
      _pelvane_options "$cur" "--link --device --baud --adapter-latency --gpib-socket --gpib-tcp
        --block-mode --byte-timeout
        --ack-timeout --memory --package --fill --preload --no-power-check --seed --boot-verdict
        --boot-fault-upload --fail-prog --fail-erase --bad-checksum --short-read --long-read --corrupt-stored
        --corrupt-response --wrong-code --silent-after --vanish-after --vanish-at --noise --noise-after
        --transcript --summary --dump --once --verbose --quiet --help --version"
      ;;
    pelvane-pkg)
      local command=${COMP_WORDS[1]}
      if ((COMP_CWORD == 1)); then
        _pelvane_options "$cur" "create show check --help --version"
        return
      fi
      case $command in
        create)
          if [[ $prev == --comment ]]; then return; fi
          if [[ $cur == -* ]]; then
            _pelvane_options "$cur" "--comment --hex --force"
          elif ((COMP_CWORD == 2)); then
            _pelvane_folders "$cur"
          else
            _pelvane_packages "$cur"
          fi
          ;;
        show | check) _pelvane_packages "$cur" ;;
      esac
      ;;
  esac
}

complete -F _pelvane pelvane pelvane-cli pelvane-sim pelvane-pkg
