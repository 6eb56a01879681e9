# Picks a greeting from the greeting data.
greet_pick() {
    local data="${GREET_PREFIX:-}/usr/share/greet/greetings.txt"
    sed -n "${1:-1}p" "$data"
}
