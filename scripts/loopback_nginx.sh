# Sourced, not run: starts and stops an nginx of our own on a free 127.0.0.1 port, serving a
# folder, for the demo and the benchmark.
#   loopback_nginx_start ROOT WORK [DIRECTIVES [HTTP_DIRECTIVES]]   sets NGINX_PORT; DIRECTIVES go
#                        into the server block, HTTP_DIRECTIVES (log_format, say) into the http block
#   loopback_nginx_stop

loopback_nginx_start() {
  local root=$1 work=$2 directives=${3:-} http_directives=${4:-}
  mkdir -p "$work"
  chmod 755 "$root" "$work"
  NGINX_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
error_log $work/error.log warn;
pid $work/nginx.pid;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/body;
  proxy_temp_path $work/proxy;
  fastcgi_temp_path $work/fastcgi;
  uwsgi_temp_path $work/uwsgi;
  scgi_temp_path $work/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  $http_directives
  server {
    listen 127.0.0.1:$NGINX_PORT;
    root $root;
    $directives
  }
}
CONF
  nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" >"$work/nginx.log" 2>&1 &
  LOOPBACK_NGINX_PID=$!
  local i
  for i in $(seq 1 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$NGINX_PORT") 2>/dev/null; then return 0; fi
    if ! kill -0 "$LOOPBACK_NGINX_PID" 2>/dev/null; then break; fi
    sleep 0.05
  done
  echo "nginx did not start:" >&2
  cat "$work/nginx.log" "$work/error.log" >&2 2>/dev/null || true
  return 1
}

loopback_nginx_stop() {
  if [ -n "${LOOPBACK_NGINX_PID:-}" ]; then
    kill "$LOOPBACK_NGINX_PID" 2>/dev/null || true
    wait "$LOOPBACK_NGINX_PID" 2>/dev/null || true
    LOOPBACK_NGINX_PID=
  fi
}
