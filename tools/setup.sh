#!/usr/bin/env bash
# Installs what a make target needs and is missing, with one line per thing:
#   tools/setup.sh python cxx gtest tmux clang benchmark
#   tools/setup.sh --print-python      (the CPython 3.12 found)
# System packages come from apt-get (as root; `apt-get update` once first). A user who
# is not root gets the exact command to run instead, and the target stops.
set -euo pipefail

missing_pkgs=()   # Debian packages to install
reasons=()        # what each is for, for the message

need_pkg() { missing_pkgs+=("$1"); reasons+=("$2"); }

have_header_and_lib() {  # header, library name
    [ -f "/usr/include/$1" ] || return 1
    compgen -G "/usr/lib/*/lib$2.*" >/dev/null || compgen -G "/usr/lib/lib$2.*" >/dev/null || compgen -G "/usr/local/lib/lib$2.*" >/dev/null
}

find_python312() {
    PYENV_VERSION=3.12.1 pyenv which python 2>/dev/null && return
    command -v python3.12 && return
    ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1 | grep . && return
    return 1
}

if [ "${1:-}" = --print-python ]; then  # the interpreter make uses for .venv
    find_python312
    exit
fi

python_missing=0
for need in "$@"; do
    case "$need" in
    python)
        find_python312 >/dev/null || python_missing=1 ;;
    cxx)
        command -v c++ >/dev/null && command -v make >/dev/null || need_pkg build-essential "a C++ compiler" ;;
    gtest)
        have_header_and_lib gtest/gtest.h gtest || need_pkg libgtest-dev "GoogleTest (for the C++ tests)" ;;
    tmux)
        command -v tmux >/dev/null || need_pkg tmux "tmux (for the test of the demo's live view)" ;;
    clang)
        # libFuzzer: clang and its runtime, whose archive clang names when it has it.
        if ! command -v clang++ >/dev/null; then
            need_pkg clang "clang (for the fuzz harnesses)"
            need_pkg libclang-rt-14-dev "libFuzzer's runtime"
        elif [ ! -f "$(clang -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then
            need_pkg "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev" "libFuzzer's runtime"
        fi ;;
    benchmark)
        have_header_and_lib benchmark/benchmark.h benchmark || need_pkg libbenchmark-dev "Google Benchmark (for make bench)" ;;
    *) echo "tools/setup.sh: unknown need '$need'" >&2; exit 2 ;;
    esac
done

if [ "$python_missing" = 1 ]; then
    if command -v pyenv >/dev/null; then
        echo "setup: CPython 3.12 missing: installing it with pyenv (pyenv install 3.12.1, a few minutes)"
        pyenv install -s 3.12.1
    elif apt-cache policy python3.12 2>/dev/null | grep -q 'Candidate: [0-9]'; then
        need_pkg python3.12-venv "CPython 3.12"
    else
        echo "setup: CPython 3.12 not found (pyenv 3.12.1 or python3.12 on PATH) and no package for it." >&2
        echo "       Install it, for example with pyenv (https://github.com/pyenv/pyenv): pyenv install 3.12.1" >&2
        exit 1
    fi
fi

[ ${#missing_pkgs[@]} -eq 0 ] && exit 0

root=0; [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null && root=1
for i in "${!missing_pkgs[@]}"; do
    if [ "$root" = 1 ]; then
        echo "setup: ${reasons[$i]} is missing: installing ${missing_pkgs[$i]} with apt-get"
    else
        echo "setup: ${reasons[$i]} is missing (Debian package ${missing_pkgs[$i]})" >&2
    fi
done
if ! command -v apt-get >/dev/null; then
    echo "setup: no apt-get here: install ${missing_pkgs[*]} with the system's package manager, then run make again." >&2
    exit 1
fi
if [ "$root" = 0 ]; then
    echo "setup: installing packages needs root. Run this, then make again:" >&2
    echo "    sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing_pkgs[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
install() { apt-get install -y -qq --no-install-recommends "${missing_pkgs[@]}" >/dev/null; }
# The package lists: fetched first on a machine that has none, else only when the
# install fails with the ones there are.
if ! compgen -G "/var/lib/apt/lists/*Packages*" >/dev/null; then
    echo "setup: apt-get update (no package lists yet)"
    apt-get update -qq
    install
elif ! install 2>/dev/null; then
    echo "setup: apt-get update (the package lists are out of date)"
    apt-get update -qq
    install
fi
