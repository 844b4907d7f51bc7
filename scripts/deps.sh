# Sourced by the scripts: makes sure the Debian packages the build and tests need are present.
# As root it installs what is missing; otherwise it prints the one apt-get line to run.
tessarin_packages=(cmake g++ make pkg-config dpf-source googletest libgtest-dev libgmock-dev
    libbenchmark-dev libebur128-dev libsndfile1-dev sox clang-format-14
    libcivetweb-dev nlohmann-json3-dev libkissfft-dev libsqlite3-dev libssl-dev sqlite3 chromium nodejs
    dpkg-dev lintian man-db file
    clang-14 libclang-rt-14-dev llvm-14)

tessarin_install_deps() {
    local missing=()
    local package
    for package in "${tessarin_packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -eq 0 ]; then
        echo "Installing: ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    else
        echo "Missing packages. Run:"
        echo "  sudo apt-get install -y ${missing[*]}"
        return 1
    fi
}
