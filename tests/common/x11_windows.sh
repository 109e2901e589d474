# Sourced by the window tests: screenshots and key presses on the X display
# the windows are on (Xvfb). Screenshots go to the folder in $shots.

shot() {  # file name; a moment first, so the window has drawn itself
  sleep 0.5
  import -window root "$shots/$1.png"
}

keys() {  # window id, keys...
  local window=$1
  shift
  xdotool windowfocus --sync "$window" 2>/dev/null
  for key in "$@"; do
    xdotool key "$key"
    sleep 0.2
  done
}
