#!/usr/bin/env bash
# Installs fake bundles into a scratch directory that stands for the system
# and the homes, and checks that hosts are left with one copy of the plug-in.
#
#     PlaceBundlesTests.sh PLACE_BUNDLES CASE
#
# Exits 77 (ctest's SKIP_RETURN_CODE) for a case this machine cannot run.
set -uo pipefail

case_name="$2"
skip=77

# Cases that mount a file system (a small one, a read-only one) do it in a
# mount namespace of their own, so that nothing they mount is seen outside.
case "$case_name" in
    a_copy_that_fails_part_way_*|root_*_cannot_write)
        if [ -z "${VESTRANO_TEST_OWN_MOUNTS:-}" ]; then
            probe="$(mktemp -d)"
            if unshare -m --propagation private mount -t tmpfs -o size=64k tmpfs "$probe" 2>/dev/null; then
                rmdir "$probe"
                VESTRANO_TEST_OWN_MOUNTS=1 exec unshare -m --propagation private -- bash "$0" "$@"
            fi
            rmdir "$probe"
            echo "SKIP: $case_name mounts a file system, which needs root and unshare -m"
            exit "$skip"
        fi
        ;;
esac

uri="https://vestrano.audio/plugins/VestranoPlugin"
foreign_uri="https://example.org/plugins/VestranoPlugin"

scratch="$(mktemp -d)"
mounted=()
clean_up() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}"
    done
    chmod -R u+w "$scratch" 2>/dev/null
    rm -rf "$scratch"
}
trap clean_up EXIT
chmod 755 "$scratch"

# A copy of the scripts of its own, helpers included, so that an
# unprivileged run can read them wherever the checkout lives.
cp -R "$(dirname -- "$1")" "$scratch/scripts"
script="$scratch/scripts/$(basename -- "$1")"

sys="$scratch/root"      # stands for /
home="$scratch/home"     # the user's (or root's own) home
mkdir -p "$sys" "$home"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# An LV2 bundle as JUCE writes its manifest; LABEL tells builds apart.
make_lv2() {
    local dir="$1" plugin_uri="$2" label="$3"
    mkdir -p "$dir"
    cat > "$dir/manifest.ttl" <<EOF
@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .
@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .

<$plugin_uri>
	a lv2:Plugin ;
	lv2:binary <libVestranoPlugin.so> ;
	rdfs:seeAlso <dsp.ttl> .

<$plugin_uri:UI>
	a ui:X11UI ;
	lv2:binary <libVestranoPlugin.so> .
EOF
    echo "$label" > "$dir/libVestranoPlugin.so"
}

# A VST3 bundle whose binary (named after the bundle, as hosts look for it)
# holds CONTENT.
make_vst3() {
    local dir="$1" content="$2"
    mkdir -p "$dir/Contents/x86_64-linux"
    printf '%s\n' "$content" > "$dir/Contents/x86_64-linux/$(basename "$dir" .vst3).so"
}

ours_vst3() { make_vst3 "$1" "VestranoPluginAudioProcessor $2"; }

built="$scratch/built"
make_lv2 "$built/VestranoPlugin.lv2" "$uri" "new build"
ours_vst3 "$built/VestranoPlugin.vst3" "new build"
chmod -R a+rX "$scratch"

# Runs COMMAND from the scratch directory, with it as the system, SUDO_USER
# and LV2_PATH cleared unless given; leaves its output in $out and status in
# $rc.
run() {
    out="$(cd "$scratch" && env -u SUDO_USER -u LV2_PATH HOME="$home" VESTRANO_INSTALL_ROOT="$sys" "$@" 2>&1)"
    rc=$?
    echo "$out"
}

# Runs the script on the built bundles.
place() {
    run "$@" "$script" "$built/VestranoPlugin.vst3" "$built/VestranoPlugin.lv2"
}

# Root may write anywhere: the cases about what another user may do run as
# nobody when the tests run as root.
as_another_user=()
if [ "$(id -u)" -eq 0 ]; then
    as_another_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)
fi

# A sudo that refuses, and logs what it was asked, in $sudo_log.
sudo_log="$home/sudo.log"
refusing_sudo="$scratch/refusing-sudo"
printf '#!/bin/sh\necho "$*" >> "%s"\nexit 1\n' "$sudo_log" > "$refusing_sudo"
chmod 755 "$refusing_sudo"

expect_rc() { [ "$rc" -eq "$1" ] || fail "exit status $rc, expected $1"; }
expect_said() { grep -qF -- "$1" <<< "$out" || fail "did not say: $1"; }
expect_not_said() { ! grep -qF -- "$1" <<< "$out" || fail "said: $1"; }
expect_gone() { [ ! -e "$1" ] || fail "still there: $1"; }
expect_label() { grep -qxF "$2" "$1" 2>/dev/null || fail "$1 does not hold \"$2\""; }

expect_new_copies_in() {
    expect_label "$1/VestranoPlugin.lv2/libVestranoPlugin.so" "new build"
    grep -qF "new build" "$2/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so" 2>/dev/null \
        || fail "no new VST3 bundle in $2"
}

# Every folder and shared object under PATHS 0755, every other file 0644,
# and another user may read them all and run the shared objects.
expect_readable_by_everyone() {
    local path want
    while IFS= read -r path; do
        want=644
        if [ -d "$path" ] || [[ "$path" == *.so ]]; then
            want=755
        fi
        [ "$(stat -c %a "$path")" = "$want" ] || fail "$path is $(stat -c %a "$path"), expected $want"
    done < <(find "$@")
    if [ ${#as_another_user[@]} -gt 0 ]; then
        local refused
        refused="$("${as_another_user[@]}" find "$@" \( ! -readable -o -type d ! -executable \
                       -o -name '*.so' ! -executable \) -print 2>&1)"
        [ -z "$refused" ] || fail "another user may not read or run: $refused"
    fi
}

# Mounts a file system on FOLDER for the rest of the case: "small" has room
# for a few small files, "read-only" shows FOLDER as it is, unwritable.
mount_on() {
    local kind="$1" folder="$2"
    mkdir -p "$folder"
    case "$kind" in
        small) mount -t tmpfs -o size=256k,mode=755 tmpfs "$folder" ;;
        read-only) mount --bind "$folder" "$folder" && mount -o remount,bind,ro "$folder" ;;
    esac || { echo "cannot mount on $folder"; exit 1; }
    mounted+=("$folder")
}

expect_nothing_installed_in() {
    expect_gone "$1/VestranoPlugin.lv2"
    expect_gone "$2/VestranoPlugin.vst3"
}

case "$case_name" in

    # As root, through sudo: root's own copies and the sudo user's are the
    # other install; both go, the system copy is replaced, and a second run
    # finds nothing more to remove.
    system_install_removes_the_user_copies)
        sudo_user_home="$sys$(getent passwd root | cut -d: -f6)"
        for h in "$home" "$sudo_user_home"; do
            make_lv2 "$h/.lv2/VestranoPlugin.lv2" "$uri" "old build"
            ours_vst3 "$h/.vst3/VestranoPlugin.vst3" "old build"
        done
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"

        place VESTRANO_INSTALL_AS=system SUDO_USER=root
        expect_rc 0
        for h in "$home" "$sudo_user_home"; do
            expect_gone "$h/.lv2/VestranoPlugin.lv2"
            expect_gone "$h/.vst3/VestranoPlugin.vst3"
            expect_said "removed $h/.lv2/VestranoPlugin.lv2"
            expect_said "removed $h/.vst3/VestranoPlugin.vst3"
        done
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"

        place VESTRANO_INSTALL_AS=system SUDO_USER=root
        expect_rc 0
        expect_not_said "removed"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # A user who may write to the system copies' folder removes them.
    user_install_removes_a_system_copy_it_may_remove)
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" "old build"

        place VESTRANO_INSTALL_AS=user VESTRANO_SUDO=
        expect_rc 0
        expect_gone "$sys/usr/local/lib/lv2/VestranoPlugin.lv2"
        expect_gone "$sys/usr/local/lib/vst3/VestranoPlugin.vst3"
        expect_said "removed $sys/usr/local/lib/lv2/VestranoPlugin.lv2"
        expect_said "removed $sys/usr/local/lib/vst3/VestranoPlugin.vst3"
        expect_new_copies_in "$home/.lv2" "$home/.vst3"
        ;;

    # A user without rights over the system copies: sudo is asked to remove
    # exactly them; when it cannot (or there is no sudo), nothing is
    # installed, the system copies stay, and the message names them.
    user_install_stops_when_a_system_copy_needs_root)
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" "old build"
        chmod -R a-w "$sys/usr"
        chmod a+w "$home"

        for sudo_cmd in "" "$refusing_sudo"; do
            place VESTRANO_SUDO="$sudo_cmd" "${as_another_user[@]}"
            expect_rc 1
            expect_label "$sys/usr/local/lib/lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "old build"
            [ -e "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" ] || fail "the system VST3 copy went"
            expect_nothing_installed_in "$home/.lv2" "$home/.vst3"
            expect_said "cannot remove $sys/usr/local/lib/"
            expect_said "sudo rm -rf $sys/usr/local/lib/"
        done

        [ -f "$sudo_log" ] || fail "sudo was never asked"
        grep -qxF "rm -rf -- $sys/usr/local/lib/vst3/VestranoPlugin.vst3" "$sudo_log" 2>/dev/null \
            || fail "sudo was not asked to remove the system VST3 copy: $(cat "$sudo_log" 2>/dev/null)"
        ;;

    # Copies of ours where this script never installs (the distribution's
    # folders, LV2_PATH) are named, left, and stop the install, as root too.
    copies_elsewhere_on_the_search_paths_stop_the_install)
        extra="$scratch/extra-lv2"
        make_lv2 "$sys/usr/lib/lv2/VestranoPlugin.lv2" "$uri" "packaged"
        make_lv2 "$extra/VestranoPlugin.lv2" "$uri" "packaged"
        ours_vst3 "$sys/usr/lib/vst3/VestranoPlugin.vst3" "packaged"

        for as in system user; do
            place VESTRANO_INSTALL_AS=$as LV2_PATH="$extra"
            expect_rc 1
            expect_said "$sys/usr/lib/lv2/VestranoPlugin.lv2"
            expect_said "$sys/usr/lib/vst3/VestranoPlugin.vst3"
            expect_said "$extra/VestranoPlugin.lv2"
            expect_label "$sys/usr/lib/lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "packaged"
            expect_label "$extra/VestranoPlugin.lv2/libVestranoPlugin.so" "packaged"
            [ -e "$sys/usr/lib/vst3/VestranoPlugin.vst3" ] || fail "the packaged VST3 copy went"
        done
        expect_nothing_installed_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        expect_nothing_installed_in "$home/.lv2" "$home/.vst3"

        # LV2_PATH naming the install folders themselves names no place of
        # its own: the system copy is still the other install's, and goes.
        rm -rf "$sys/usr/lib" "$extra"
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        place VESTRANO_INSTALL_AS=user LV2_PATH="$home/.lv2:$sys/usr/local/lib/lv2/"
        expect_rc 0
        expect_said "removed $sys/usr/local/lib/lv2/VestranoPlugin.lv2"
        expect_new_copies_in "$home/.lv2" "$home/.vst3"
        ;;

    # Bundles of the same name that are not this plug-in (another URI, a
    # binary of another plug-in) are never removed; one in the very place
    # of ours stops the install rather than being overwritten.
    other_plugins_bundles_are_never_removed)
        make_lv2 "$home/.lv2/VestranoPlugin.lv2" "$foreign_uri" "foreign"
        make_vst3 "$home/.vst3/VestranoPlugin.vst3" "foreign"
        make_lv2 "$sys/usr/lib/lv2/VestranoPlugin.lv2" "$foreign_uri" "foreign"

        place VESTRANO_INSTALL_AS=system
        expect_rc 0
        expect_label "$home/.lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "foreign"
        expect_label "$home/.vst3/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so" "foreign"
        expect_label "$sys/usr/lib/lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "foreign"
        expect_said "left $home/.lv2/VestranoPlugin.lv2 alone"
        expect_not_said "removed"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"

        place VESTRANO_INSTALL_AS=user
        expect_rc 1
        expect_label "$home/.lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "foreign"
        expect_label "$home/.vst3/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so" "foreign"
        expect_said "another plug-in's bundles"
        expect_said "    $home/.lv2/VestranoPlugin.lv2"
        expect_said "    $home/.vst3/VestranoPlugin.vst3"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # Under umask 077, and from a build made under it, both installs leave
    # bundles (and the folders they make) that other users' hosts can load.
    installed_files_do_not_depend_on_the_umask)
        find "$built" -type d -exec chmod 700 {} +
        find "$built" -type f -exec chmod 600 {} +
        chmod 700 "$built/VestranoPlugin.lv2/libVestranoPlugin.so" \
              "$built/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so"

        umask 077
        place VESTRANO_INSTALL_AS=system
        umask 022
        expect_rc 0
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        expect_readable_by_everyone "$sys/usr"

        umask 077
        place VESTRANO_INSTALL_AS=user
        umask 022
        expect_rc 0
        expect_new_copies_in "$home/.lv2" "$home/.vst3"
        expect_readable_by_everyone "$home/.lv2" "$home/.vst3"
        ;;

    # One copy this user may remove and one it may not, with no sudo or one
    # that refuses: neither goes, nothing is installed, not even a folder.
    a_copy_that_cannot_go_stops_the_install_before_any_change)
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" "old build"
        chmod -R a+w "$sys/usr/local/lib/vst3"
        chmod a-w "$sys/usr/local/lib/lv2"
        chmod a+w "$home"

        for sudo_cmd in "" "$refusing_sudo"; do
            place VESTRANO_SUDO="$sudo_cmd" "${as_another_user[@]}"
            expect_rc 1
            expect_label "$sys/usr/local/lib/vst3/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so" \
                         "VestranoPluginAudioProcessor old build"
            expect_label "$sys/usr/local/lib/lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "old build"
            expect_gone "$home/.lv2"
            expect_gone "$home/.vst3"
            expect_said "cannot remove $sys/usr/local/lib/lv2/VestranoPlugin.lv2"
            expect_not_said "removed"
        done
        ! grep -qF vst3 "$sudo_log" 2>/dev/null || fail "sudo was asked about the VST3 copy"
        ;;

    # As root, a home copy on a file system root may not write: the other
    # home copy stays too, nothing is installed, and the message does not
    # send root to run the install as root.
    root_stops_on_a_home_it_cannot_write)
        ours_vst3 "$home/.vst3/VestranoPlugin.vst3" "old build"
        make_lv2 "$home/.lv2/VestranoPlugin.lv2" "$uri" "old build"
        mount_on read-only "$home/.lv2"

        place VESTRANO_INSTALL_AS=system
        expect_rc 1
        expect_label "$home/.vst3/VestranoPlugin.vst3/Contents/x86_64-linux/VestranoPlugin.so" \
                     "VestranoPluginAudioProcessor old build"
        expect_label "$home/.lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "old build"
        expect_nothing_installed_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        expect_said "cannot remove $home/.lv2/VestranoPlugin.lv2"
        expect_not_said "removed"
        expect_not_said "as root"
        ;;

    # The new LV2 bundle does not fit where it goes: every previous copy,
    # the one it was to replace and the other install's, stays byte for
    # byte, and nothing of the new bundles is left behind.
    a_copy_that_fails_part_way_leaves_the_previous_copies)
        mount_on small "$sys/usr/local/lib/lv2"
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" "old build"
        make_lv2 "$home/.lv2/VestranoPlugin.lv2" "$uri" "old build"
        head -c 1048576 /dev/urandom >> "$built/VestranoPlugin.lv2/libVestranoPlugin.so"
        cp -a "$sys/usr/local/lib" "$scratch/lib-before"
        cp -a "$home" "$scratch/home-before"

        place VESTRANO_INSTALL_AS=system
        expect_rc 1
        diff -r "$scratch/lib-before" "$sys/usr/local/lib" || fail "the system folders changed"
        diff -r "$scratch/home-before" "$home" || fail "the home changed"
        expect_not_said "removed"
        ;;

    # Copies of ours that hosts load although the old search missed them:
    # in the multiarch LV2 folder (under the name the system gives), in a
    # "~/" entry of LV2_PATH, under other folder names. Where this script
    # does not install they stop it; where it does they go.
    copies_wherever_hosts_look_are_found)
        arch="vestrano-test-linux-gnu"
        fake_bin="$scratch/fake-bin"
        mkdir -p "$fake_bin"
        for tool in dpkg-architecture gcc; do
            printf '#!/bin/sh\necho %s\n' "$arch" > "$fake_bin/$tool"
            chmod 755 "$fake_bin/$tool"
        done
        make_lv2 "$sys/usr/lib/$arch/lv2/VestranoPlugin.lv2" "$uri" "packaged"
        make_lv2 "$home/extra-lv2/Renamed.lv2" "$uri" "packaged"
        ours_vst3 "$sys/usr/lib/vst3/Vendor/Renamed.vst3" "packaged"

        for as in system user; do
            place VESTRANO_INSTALL_AS=$as PATH="$fake_bin:$PATH" LV2_PATH="~/extra-lv2"
            expect_rc 1
            expect_said "    $sys/usr/lib/$arch/lv2/VestranoPlugin.lv2"
            expect_said "    $home/extra-lv2/Renamed.lv2"
            expect_said "    $sys/usr/lib/vst3/Vendor/Renamed.vst3"
            expect_label "$sys/usr/lib/$arch/lv2/VestranoPlugin.lv2/libVestranoPlugin.so" "packaged"
            expect_label "$home/extra-lv2/Renamed.lv2/libVestranoPlugin.so" "packaged"
            [ -e "$sys/usr/lib/vst3/Vendor/Renamed.vst3" ] || fail "the packaged VST3 copy went"
        done
        expect_nothing_installed_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        expect_nothing_installed_in "$home/.lv2" "$home/.vst3"

        rm -rf "$sys/usr/lib" "$home/extra-lv2"
        make_lv2 "$home/.lv2/Old.lv2" "$uri" "old build"
        ours_vst3 "$home/.vst3/Vendor/Old.vst3" "old build"
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin-1.0.lv2" "$uri" "old build"
        place VESTRANO_INSTALL_AS=system
        expect_rc 0
        for copy in "$home/.lv2/Old.lv2" "$home/.vst3/Vendor/Old.vst3" \
                    "$sys/usr/local/lib/lv2/VestranoPlugin-1.0.lv2"; do
            expect_gone "$copy"
            expect_said "removed $copy"
        done
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # The sudo user's ~/.lv2 links to a folder this script does not install
    # to, which holds a copy of ours: that copy is named, not removed, and
    # nothing is installed; whether the folder is one hosts search anyway
    # (/usr/lib/lv2) or not.
    links_never_lead_to_a_removal_outside_the_install_folders)
        sudo_user_lv2="$sys$(getent passwd root | cut -d: -f6)/.lv2"
        mkdir -p "$(dirname "$sudo_user_lv2")"
        for target in "$sys/usr/lib/lv2" "$scratch/shared-lv2"; do
            make_lv2 "$target/VestranoPlugin.lv2" "$uri" "packaged"
            ln -sfn "$target" "$sudo_user_lv2"

            place VESTRANO_INSTALL_AS=system SUDO_USER=root
            expect_rc 1
            expect_said "$target"
            expect_label "$target/VestranoPlugin.lv2/libVestranoPlugin.so" "packaged"
            expect_not_said "removed"
            expect_nothing_installed_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
            rm -rf "$target"
        done
        expect_said "    $sudo_user_lv2/VestranoPlugin.lv2 ($sudo_user_lv2 links to $scratch/shared-lv2)"
        ;;

    # A link to nothing is no plug-in's bundle: where ours goes it stops the
    # install and is named as a link; elsewhere it is left, and said so.
    dangling_links_are_named_and_left)
        mkdir -p "$sys/usr/local/lib/lv2" "$home/.vst3"
        ln -s "$scratch/gone" "$sys/usr/local/lib/lv2/VestranoPlugin.lv2"
        ln -s "$scratch/gone" "$home/.vst3/VestranoPlugin.vst3"

        place VESTRANO_INSTALL_AS=system
        expect_rc 1
        expect_said "    $sys/usr/local/lib/lv2/VestranoPlugin.lv2 -> $scratch/gone"
        expect_said "left $home/.vst3/VestranoPlugin.vst3 alone: a link to $scratch/gone"
        expect_not_said "another plug-in"
        [ -L "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" ] || fail "the link where the LV2 bundle goes went"
        expect_gone "$sys/usr/local/lib/vst3/VestranoPlugin.vst3"

        rm "$sys/usr/local/lib/lv2/VestranoPlugin.lv2"
        place VESTRANO_INSTALL_AS=system
        expect_rc 0
        [ -L "$home/.vst3/VestranoPlugin.vst3" ] || fail "the link in the home went"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # Root installs from a checkout of nobody's, called by a relative path
    # with CDPATH exported (leading to a decoy of the same name); the build,
    # a stand-in cmake, is root's. The build tree is left to the checkout's
    # owner, whose own install then builds and installs.
    a_root_install_leaves_the_build_tree_to_the_checkouts_owner)
        if [ ${#as_another_user[@]} -eq 0 ]; then
            echo "SKIP: $case_name needs root, to install from another user's checkout"
            exit "$skip"
        fi
        checkout="$scratch/checkout"
        owner_home="$scratch/owner-home"
        mkdir -p "$checkout" "$scratch/decoy/checkout/scripts" "$owner_home"
        cp -R "$scratch/scripts" "$checkout/scripts"
        printf '#!/bin/sh\n' > "$checkout/scripts/setup"
        chmod 755 "$checkout/scripts/setup"
        chown -R 65534:65534 "$checkout" "$owner_home"

        fake_bin="$scratch/fake-bin"
        mkdir -p "$fake_bin"
        cat > "$fake_bin/cmake" <<END_OF_CMAKE
#!/bin/sh
# Stands for cmake: configuring writes the cache, building the bundles.
set -e
while [ \$# -gt 0 ]; do
    case "\$1" in
        -B) mkdir -p "\$2"; echo configured > "\$2/CMakeCache.txt" ;;
        --build)
            out="\$2/VestranoPlugin_artefacts/Release"
            mkdir -p "\$out/VST3" "\$out/LV2"
            cp -R "$built/VestranoPlugin.vst3" "\$out/VST3/"
            cp -R "$built/VestranoPlugin.lv2" "\$out/LV2/"
            ;;
    esac
    shift
done
END_OF_CMAKE
        chmod -R a+rx "$fake_bin"

        run VESTRANO_INSTALL_AS=system PATH="$fake_bin:$PATH" CDPATH="$scratch/decoy" \
            bash checkout/scripts/install
        expect_rc 0
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        [ -f "$checkout/build-release/CMakeCache.txt" ] || fail "no build tree in the checkout"
        not_the_owners="$(find "$checkout" ! -uid 65534 -print)"
        [ -z "$not_the_owners" ] || fail "not the checkout owner's: $not_the_owners"

        chmod -R a+w "$sys/usr/local/lib"
        run HOME="$owner_home" VESTRANO_SUDO= PATH="$fake_bin:$PATH" "${as_another_user[@]}" \
            bash checkout/scripts/install
        expect_rc 0
        expect_new_copies_in "$owner_home/.lv2" "$owner_home/.vst3"
        ;;

    # Root by "su -" has no SUDO_USER: the home of the checkout's owner is
    # still looked at, and its copies go as the sudo user's do.
    a_root_install_without_sudo_removes_the_checkout_owners_copies)
        if [ ${#as_another_user[@]} -gt 0 ]; then
            chown 65534:65534 "$scratch"
        fi
        owner_home="$sys$(getent passwd "$(stat -c %u "$scratch")" | cut -d: -f6)"
        make_lv2 "$owner_home/.lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$owner_home/.vst3/VestranoPlugin.vst3" "old build"

        place VESTRANO_INSTALL_AS=system
        expect_rc 0
        expect_gone "$owner_home/.lv2/VestranoPlugin.lv2"
        expect_gone "$owner_home/.vst3/VestranoPlugin.vst3"
        expect_said "removed $owner_home/.lv2/VestranoPlugin.lv2"
        expect_said "removed $owner_home/.vst3/VestranoPlugin.vst3"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # Home folders kept as links within the home, as dotfile managers make
    # them, are still the home's: the user's install goes through them, and
    # the sudo install then removes what it put there.
    home_folders_linked_within_the_home_stay_the_homes)
        sudo_user_home="$sys$(getent passwd root | cut -d: -f6)"
        mkdir -p "$sudo_user_home/dotfiles/lv2" "$sudo_user_home/dotfiles/vst3"
        ln -s dotfiles/lv2 "$sudo_user_home/.lv2"
        ln -s "$sudo_user_home/dotfiles/vst3" "$sudo_user_home/.vst3"

        place VESTRANO_INSTALL_AS=user HOME="$sudo_user_home"
        expect_rc 0
        expect_new_copies_in "$sudo_user_home/dotfiles/lv2" "$sudo_user_home/dotfiles/vst3"

        place VESTRANO_INSTALL_AS=system SUDO_USER=root
        expect_rc 0
        expect_said "removed $sudo_user_home/.lv2/VestranoPlugin.lv2"
        expect_said "removed $sudo_user_home/.vst3/VestranoPlugin.vst3"
        expect_nothing_installed_in "$sudo_user_home/dotfiles/lv2" "$sudo_user_home/dotfiles/vst3"
        for link in "$sudo_user_home/.lv2" "$sudo_user_home/.vst3"; do
            [ -L "$link" ] || fail "$link is no longer a link"
        done
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        ;;

    # Install folders that an old install left 0700 under a strict umask
    # are opened to every user; a folder above them that still keeps other
    # users out makes the install say so instead of claiming success.
    install_folders_left_private_are_opened_to_every_user)
        for format in lv2 vst3; do
            mkdir -p "$sys/usr/local/lib/$format"
            chmod 700 "$sys/usr/local/lib/$format"
        done
        make_lv2 "$sys/usr/local/lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
        ours_vst3 "$sys/usr/local/lib/vst3/VestranoPlugin.vst3" "old build"

        place VESTRANO_INSTALL_AS=system
        expect_rc 0
        expect_said "made $sys/usr/local/lib/lv2 readable by every user"
        expect_new_copies_in "$sys/usr/local/lib/lv2" "$sys/usr/local/lib/vst3"
        expect_readable_by_everyone "$sys/usr"

        chmod 700 "$sys/usr/local"
        place VESTRANO_INSTALL_AS=system
        [ "$rc" -ne 0 ] || fail "claimed success behind $sys/usr/local, mode 0700"
        expect_said "$sys/usr/local (0700)"
        ;;

    # SIGINT to the install's process group right after each file operation
    # of a placement over a previous copy: hosts find one copy of each
    # format every time (LV2 hosts read hidden folders too), and the next
    # run leaves nothing of the cut one behind.
    an_interrupted_placement_leaves_one_copy_of_each)
        lib="$sys/usr/local/lib"
        wrappers="$scratch/interrupting-bin"
        mkdir -p "$wrappers"
        for tool in mkdir mktemp cp chmod mv rm rmdir; do
            cat > "$wrappers/$tool" <<END_OF_WRAPPER
#!/bin/sh
# $tool, then SIGINT to the process group once the count reaches the target.
"$(command -v "$tool")" "\$@"
status=\$?
count=\$((\$(cat "$scratch/count") + 1))
echo "\$count" > "$scratch/count"
[ "\$count" -ne "\$(cat "$scratch/target")" ] || kill -INT 0
exit "\$status"
END_OF_WRAPPER
            chmod 755 "$wrappers/$tool"
        done

        for ((target = 1; ; target++)); do
            rm -rf "$lib"
            make_lv2 "$lib/lv2/VestranoPlugin.lv2" "$uri" "old build"
            ours_vst3 "$lib/vst3/VestranoPlugin.vst3" "old build"
            echo 0 > "$scratch/count"
            echo "$target" > "$scratch/target"

            place PATH="$wrappers:$PATH" setsid >/dev/null
            [ "$(cat "$scratch/count")" -ge "$target" ] || break

            lv2_copies="$(grep -lxF "<$uri>" "$lib"/lv2/*/manifest.ttl "$lib"/lv2/.[!.]*/manifest.ttl 2>/dev/null | wc -l)"
            vst3_copies="$(find "$lib/vst3" -name '*.vst3' | wc -l)"
            [ "$lv2_copies" -eq 1 ] || fail "SIGINT after file operation $target: $lv2_copies LV2 copies"
            [ "$vst3_copies" -eq 1 ] || fail "SIGINT after file operation $target: $vst3_copies VST3 copies"

            place VESTRANO_INSTALL_AS=system >/dev/null
            expect_rc 0
            left="$(find "$lib" -name '.VestranoPlugin*')"
            [ -z "$left" ] || fail "after SIGINT at file operation $target, the next run left: $left"
        done
        echo "placements cut after each of $((target - 1)) file operations"
        [ "$target" -gt 10 ] || fail "a placement of only $((target - 1)) file operations: the wrappers were not used"
        ;;

    *)
        echo "unknown case: $case_name"
        exit 2
        ;;
esac

[ "$failures" -eq 0 ]
