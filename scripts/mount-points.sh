# Sourced by scripts that run the daemon in a private mount namespace: makes
# the mount points for its fixed paths that this machine lacks (/var/etc,
# /talpa/bin) and removes them again, if still empty, when the script exits.
ostra_created_mount_points=()
for ostra_dir in /var/etc /talpa/bin; do
  ostra_first=""
  ostra_p=$ostra_dir
  while [ ! -e "$ostra_p" ]; do ostra_first=$ostra_p; ostra_p=$(dirname "$ostra_p"); done
  if [ -n "$ostra_first" ]; then
    mkdir -p "$ostra_dir"
    ostra_created_mount_points+=("$ostra_first")
  fi
done
ostra_remove_mount_points() {
  local d
  for d in "${ostra_created_mount_points[@]}"; do find "$d" -depth -type d -empty -delete 2>/dev/null || true; done
}
trap ostra_remove_mount_points EXIT
