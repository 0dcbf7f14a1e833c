# shellcheck shell=bash
# Writes and removes bundles for place-bundles, which sources it, so that a
# failure leaves every copy as it was: a new bundle is written beside its
# destination under a temporary name, given fixed modes, and renamed into
# place.

staged=()          # new bundles beside their destinations, not yet in place
made_folders=()    # folders this run created, in the order it made them

exists() { [ -e "$1" ] || [ -L "$1" ]; }

# Whether this user may delete BUNDLE: its folder must let it take the name
# away, and every folder inside must let it empty them. access(2) answers for
# root too, which read-only and root-squashed file systems refuse.
may_remove() {
    local bundle="$1" folder
    folder="$(dirname -- "$bundle")"
    [ -w "$folder" ] && [ -x "$folder" ] || return 1
    [ -L "$bundle" ] && return 0
    [ -z "$(find "$bundle" -type d \( ! -readable -o ! -writable -o ! -executable \) \
                 -print -quit 2>/dev/null)" ]
}

# mkdir -p that remembers what it made, so that a run that installs nothing
# can take its folders back.
make_folder() {
    local dir="$1" missing=()
    while ! exists "$dir"; do
        missing=("$dir" "${missing[@]+"${missing[@]}"}")
        dir="$(dirname -- "$dir")"
    done
    for dir in "${missing[@]+"${missing[@]}"}"; do
        mkdir -- "$dir" || return 1
        made_folders+=("$dir")
    done
}

# An install folder that an install under a strict umask left private
# (0700) would hide the bundles from every other user: everyone gets read
# and search, and no other bit changes.
open_to_every_user() {
    local folder="$1" before after
    before="$(stat -L -c %a -- "$folder")" || return 1
    [ $((8#$before & 8#555)) -ne $((8#555)) ] || return 0
    chmod a+rx -- "$folder" || return 1
    after="$(stat -L -c %a -- "$folder")"
    printf 'made %s readable by every user (it was %04o, it is %04o)\n' "$folder" "$((8#$before))" "$((8#$after))"
}

# With their modes: FOLDER, when other users may not list it, and the
# folders above it, up to TOP (the system's root), that let no other user
# through.
hidden_from_others() {
    local dir mode needs=5 top
    dir="$(realpath -m -- "$1")"
    top="$(realpath -m -- "$2")"
    while :; do
        if mode="$(stat -c %a -- "$dir" 2>/dev/null)" && [ $((8#$mode & needs)) -ne "$needs" ]; then
            printf '%s (%04o)\n' "$dir" "$((8#$mode))"
        fi
        if [ "$dir" = "$top" ] || [ "$dir" = / ]; then
            break
        fi
        dir="$(dirname -- "$dir")"
        needs=1
    done
}

# What other users' hosts need, whatever the umask and the build left:
# folders and shared objects 0755, everything else 0644.
set_modes() {
    find "$1" -type d -exec chmod 0755 {} + &&
        find "$1" -type f -name '*.so' -exec chmod 0755 {} + &&
        find "$1" -type f ! -name '*.so' -exec chmod 0644 {} +
}

# Copies BUNDLE into FOLDER as .NAME.new-XXXXXX and appends its path to
# staged. VST3 hosts pass over that name (it does not end in .vst3); an LV2
# host would take it for one more bundle only if it started while the copy
# runs.
stage_bundle() {
    local bundle="$1" folder="$2" copy
    make_folder "$folder" || return 1
    copy="$(mktemp -d -- "$folder/.$(basename -- "$bundle").new-XXXXXX")" || return 1
    staged+=("$copy")
    cp -R -- "$bundle/." "$copy/" && set_modes "$copy"
}

# Signals that would cut the swap of a bundle in the middle (after the
# previous copy is moved aside and before the new one is in, or before the
# previous copy is gone) wait until it is whole: hold_signals records them
# in held_signal, and act_on_held_signals ends the run with the first one.
# What runs meanwhile must ignore them itself (trap '' INT TERM HUP), since
# Ctrl-C reaches every process of the group.
held_signal=""
hold_signals() {
    local signal
    for signal in INT TERM HUP; do
        # shellcheck disable=SC2064  # the signal's name is fixed here
        trap "held_signal=\${held_signal:-$signal}" "$signal"
    done
}

act_on_held_signals() {
    trap - INT TERM HUP
    if [ -n "$held_signal" ]; then
        echo "${0##*/}: stopped by SIG$held_signal, once the bundles were whole" >&2
        kill -s "$held_signal" "$$"
        exit 1
    fi
}

# Removes from FOLDER the staged and previous copies of NAME that an install
# cut short (killed, or a power cut) left behind; the LV2 ones are bundles
# to hosts that read hidden folders.
remove_leftovers() {
    local folder="$1" name="$2" left
    for left in "$folder/.$name".new-?????? "$folder/.$name".old-??????; do
        exists "$left" || continue
        if rm -rf -- "$left"; then
            echo "removed $left, left behind by an install that was cut short"
        else
            echo "${0##*/}: could not remove $left, left behind by an install that was cut short; remove it" >&2
        fi
    done
}

# Puts STAGED in place of TARGET with renames, so that hosts see the previous
# copy or the new one, never a half-written bundle.
swap_into_place() {
    local staged_copy="$1" target="$2" previous
    if ! exists "$target"; then
        mv -T -- "$staged_copy" "$target"
        return
    fi
    previous="${staged_copy%.new-*}.old-${staged_copy##*.new-}"
    mv -T -- "$target" "$previous" || return 1
    if ! mv -T -- "$staged_copy" "$target"; then
        mv -T -- "$previous" "$target"
        return 1
    fi
    if ! rm -rf -- "$previous"; then
        echo "${0##*/}: could not remove the previous copy, now $previous; remove it" >&2
        return 1
    fi
}

# On any exit: what was staged and not put in place goes, and so do the
# folders this run made that are still empty. A second Ctrl-C does not cut
# this short: a staged LV2 copy left half removed is one more bundle to
# hosts that read hidden folders.
discard_unplaced() {
    trap '' INT TERM HUP
    local copy i
    for copy in "${staged[@]+"${staged[@]}"}"; do
        rm -rf -- "$copy"
    done
    for ((i = ${#made_folders[@]} - 1; i >= 0; i--)); do
        rmdir -- "${made_folders[i]}" 2>/dev/null || true
    done
}
