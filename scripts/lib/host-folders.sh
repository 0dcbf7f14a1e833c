# shellcheck shell=bash disable=SC2154  # lv2_uri, vst3_marker, home: set by place-bundles
# Finds, for place-bundles, the copies of this plug-in that hosts would load,
# and sorts them by what the install may do with them. Sourced after
# bundle-files.sh; expects lv2_uri, vst3_marker and home.

to_remove=()        # copies of ours this install takes away
elsewhere=()        # copies of ours it leaves to their owners
in_the_way=()       # other plug-ins' bundles where ours go
dead_links=()       # links to nothing where ours go

# Debian's LV2 hosts look in /usr/lib/<multiarch>/lv2 too; the multiarch name
# is the system's to say.
multiarch_name() {
    dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch 2>/dev/null || true
}

# An LV2_PATH entry as lilv reads it: "~" alone or before a slash is the home.
expand_home() {
    # shellcheck disable=SC2088  # a literal "~" is what is looked for
    case "$1" in
        "~" | "~/"*) printf '%s\n' "$home${1#\~}" ;;
        *) printf '%s\n' "$1" ;;
    esac
}

# The URIs of the plug-ins a bundle's manifest describes: the subjects of
# "a lv2:Plugin", one a line.
lv2_uris_of() {
    awk '/^<[^>]+>[[:space:]]*$/ { subject = $1; next }
         subject != "" && /^[[:space:]]+a[[:space:]]+lv2:Plugin/ { print subject }' "$1/manifest.ttl" 2>/dev/null || true
}

# An LV2 bundle is ours when its manifest names our URI; a VST3 bundle when
# the binary hosts load from it, Contents/<arch>/<its name>.so, is ours.
is_ours() {
    local kind="$1" bundle="$2"
    case "$kind" in
        lv2)
            lv2_uris_of "$bundle" | grep -qxF "$lv2_uri"
            ;;
        vst3)
            local binary
            for binary in "$bundle"/Contents/*/"$(basename -- "$bundle" .vst3).so"; do
                [ -f "$binary" ] && grep -qaF "$vst3_marker" "$binary" && return 0
            done
            return 1
            ;;
    esac
}

# LV2 hosts take every folder in DIR that holds a manifest, and know a
# plug-in by its URI, whatever the folder is called.
lv2_copies_in() {
    local manifest
    while IFS= read -r manifest; do
        is_ours lv2 "${manifest%/manifest.ttl}" && printf '%s\n' "${manifest%/manifest.ttl}"
    done < <(grep -lF -- "$lv2_uri" "$1"/*/manifest.ttl "$1"/.[!.]*/manifest.ttl 2>/dev/null)
}

# VST3 hosts look through DIR and the folders within it for NAME.vst3.
vst3_copies_in() {
    local bundle
    while IFS= read -r bundle; do
        is_ours vst3 "$bundle" && printf '%s\n' "$bundle"
    done < <(find -H "$1" -mindepth 1 -name '*.vst3' \( -type d -o -type l \) -prune -print 2>/dev/null)
}

# Sorts BUNDLE, found in a folder of ROLE (dest, other or elsewhere);
# AT_DEST says it stands where this install puts its own.
sort_bundle() {
    local kind="$1" role="$2" bundle="$3" at_dest="$4"

    if [ -L "$bundle" ] && [ ! -e "$bundle" ]; then
        if [ "$at_dest" = yes ]; then
            dead_links+=("$bundle")
        else
            echo "left $bundle alone: a link to $(readlink -- "$bundle"), which does not exist"
        fi
    elif ! is_ours "$kind" "$bundle"; then
        if [ "$at_dest" = yes ]; then
            in_the_way+=("$bundle")
        else
            echo "left $bundle alone: another plug-in's bundle"
        fi
    elif [ "$role" = elsewhere ]; then
        elsewhere+=("$bundle")
    elif [ "$role" = other ] || [ "$at_dest" = no ] || ! may_remove "$bundle"; then
        # The previous copy where ours goes is replaced, unless this user may
        # not remove it: then it is removed as the other copies are.
        to_remove+=("$bundle")
    fi
}

# Whether the link DIR leads to REAL, a folder within the folder that holds
# the link: ~/.lv2 -> ~/dotfiles/lv2, as dotfile managers make them.
leads_within_its_folder() {
    local holder
    holder="$(realpath -m -- "$(dirname -- "$1")")"
    [[ "$2" == "${holder%/}/"* ]]
}

# Looks for copies of the KIND bundle NAME in the folders given as ROLE DIR
# pairs, the destination first. Each real folder is looked at once, under
# the first name that reaches it without being a link itself, so that a home
# folder linked to /usr/lib/lv2 does not make the packaged copies there the
# other install's. A folder reached only through a link is left to its
# owner, unless it is where this install puts its bundle, or the link leads
# within its own folder (the user's dotfiles): that is still the user's
# place.
survey() {
    local kind="$1" name="$2"
    shift 2
    local roles=() dirs=() reals=() seen=() pass i dir role bundle
    while [ $# -gt 0 ]; do
        roles+=("$1")
        dirs+=("${2%/}")
        reals+=("$(realpath -m -- "$2")")
        shift 2
    done

    for pass in direct linked; do
        for i in "${!dirs[@]}"; do
            dir="${dirs[i]}"
            if [ -L "$dir" ]; then
                [ "$pass" = linked ] || continue
            else
                [ "$pass" = direct ] || continue
            fi
            if printf '%s\n' "${seen[@]+"${seen[@]}"}" | grep -qxF -- "${reals[i]}"; then
                continue
            fi
            seen+=("${reals[i]}")

            role="${roles[i]}"
            if [ "$pass" = linked ] && [ "$role" != dest ] && ! leads_within_its_folder "$dir" "${reals[i]}"; then
                role=elsewhere
            fi
            while IFS= read -r bundle; do
                if [ "$bundle" = "$dir/$name" ] && [ "${reals[i]}" = "${reals[0]}" ]; then
                    sort_bundle "$kind" "$role" "$bundle" yes
                else
                    sort_bundle "$kind" "$role" "$bundle" no
                fi
            done < <({ if exists "$dir/$name"; then printf '%s\n' "$dir/$name"; fi
                       "${kind}_copies_in" "$dir"; } | awk '!seen[$0]++')
        done
    done
}
