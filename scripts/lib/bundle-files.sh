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
# folders this run made that are still empty.
discard_unplaced() {
    local copy i
    for copy in "${staged[@]+"${staged[@]}"}"; do
        rm -rf -- "$copy"
    done
    for ((i = ${#made_folders[@]} - 1; i >= 0; i--)); do
        rmdir -- "${made_folders[i]}" 2>/dev/null || true
    done
}
