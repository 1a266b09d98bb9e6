// marker_deploy
