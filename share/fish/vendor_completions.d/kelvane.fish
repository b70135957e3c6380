# SPDX-FileCopyrightText: 2026 the kelvane developers
# SPDX-License-Identifier: MIT

# fish completion for kelvane: its options (with a folder after --beneath),
# then a file or folder to list (fish offers files and folders by itself).

complete -c kelvane -s P -d 'show parent folder indicator'
complete -c kelvane -s H -d 'also list hidden files/directories'
complete -c kelvane -s t -d 'show time attributes'
complete -c kelvane -s p -d 'show permission attributes'
complete -c kelvane -s o -d 'show file owner attribute'
complete -c kelvane -s g -d 'show file group attribute'
complete -c kelvane -s h -d 'this help message'
complete -c kelvane -l help -d 'this help message, on standard output'
complete -c kelvane -l version -d 'show the version'
# The folder of --beneath=DIR is the token after "=", which fish puts back.
complete -c kelvane -l beneath \
    -xa '(__fish_complete_directories (string replace -r -- "^--beneath=" "" (commandline -ct)))' \
    -d 'list the path as seen inside this folder, never outside it'
