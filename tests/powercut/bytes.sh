# The bytes both sides agree on, for sh and bash alike: `bytes_of TAG N
# DOUBLINGS` prints "TAG N " (15 bytes, N in ten digits) 2^DOUBLINGS times,
# so that any 15 bytes of a file tell which run wrote them.
bytes_of() {
  s="$1 $(printf %010d "$2") "
  i=0
  while [ "$i" -lt "$3" ]; do s=$s$s; i=$((i + 1)); done
  printf %s "$s"
}

# run N's source: 61,440 bytes for odd runs, half that for even ones, so
# that writing in place alternately grows and cuts the file.
source_of() {
  bytes_of run "$1" $((11 + $1 % 2))
}
