# shellcheck shell=bash
# What makes the release's files the same bytes wherever and whenever they are made, sourced by the
# scripts that make them.

# Exports SOURCE_DATE_EPOCH, the time that every file made gets: the caller's; else that of the commit
# checked out at ROOT; else, in an unpacked source tarball, whose files all have the commit's time,
# that of ROOT/CMakeLists.txt.
export_source_date_epoch() {  # ROOT
    local top
    if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
        top=$(git -C "$1" rev-parse --show-toplevel 2>/dev/null) || top=
        if [[ -n $top && $top -ef $1 ]]; then
            SOURCE_DATE_EPOCH=$(git -C "$1" log -1 --format=%ct)
        else
            SOURCE_DATE_EPOCH=$(stat -c %Y "$1/CMakeLists.txt")
        fi
    fi
    export SOURCE_DATE_EPOCH
}

# Every file below DIR at SOURCE_DATE_EPOCH, mode 644 or 755, so that archive members carry nothing else.
normalise() {  # DIR
    find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    find "$1" -type d -exec chmod 755 {} +
    find "$1" -type f ! -perm -u+x -exec chmod 644 {} +
    find "$1" -type f -perm -u+x -exec chmod 755 {} +
}

# A tar.gz of a folder: sorted, numeric root owner, no name or time in the gzip header.
tar_gz() {  # FOLDER_PARENT FOLDER_NAME OUT
    normalise "$1/$2"
    tar -C "$1" --sort=name --owner=0 --group=0 --numeric-owner --format=gnu -cf - "$2" | gzip -9n > "$3"
}

# A zip of a folder: sorted, without the extra fields that hold owners and exact times.
zip_folder() {  # FOLDER_PARENT FOLDER_NAME OUT
    normalise "$1/$2"
    rm -f "$3"
    (cd "$1" && find "$2" -print | sort | zip -X -q -D "$3" -@)
}
