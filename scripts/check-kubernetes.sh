#!/usr/bin/env bash
# Checks the Kubernetes example in dist/kubernetes/ with kubectl, without a
# cluster: `kubectl create --dry-run=client -o yaml` reads every object
# (kubectl learns the kinds a cluster serves from a discovery cache made
# here, as no cluster can be asked), the StatefulSet is read into its typed
# form (a value of a wrong type fails), and the rendered objects must hold
# what the example promises: one replica, the game's folder on a claim, a
# grace period above twice stop_timeout, the health check as the liveness
# probe, the status file on a volume shared with the exporter, and UDP game
# and query ports in the Service.
set -euo pipefail
cd "$(dirname "$0")/.."
examples=dist/kubernetes

command -v kubectl >/dev/null ||
  { echo "kubernetes: FAILED: no kubectl (scripts/setup-debian.sh installs it)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/molv-kubernetes.XXXXXX")
trap 'rm -rf "$work"' EXIT
# An address where nothing answers: with the cache, kubectl never asks it.
server=127.0.0.1:9
discovery=$work/cache/discovery/${server/:/_}
mkdir -p "$discovery/v1" "$discovery/apps/v1"
cat >"$discovery/servergroups.json" <<'JSON'
{"kind": "APIGroupList", "apiVersion": "v1", "groups": [
  {"name": "", "versions": [{"groupVersion": "v1", "version": "v1"}],
   "preferredVersion": {"groupVersion": "v1", "version": "v1"}},
  {"name": "apps", "versions": [{"groupVersion": "apps/v1", "version": "v1"}],
   "preferredVersion": {"groupVersion": "apps/v1", "version": "v1"}}]}
JSON
cat >"$discovery/v1/serverresources.json" <<'JSON'
{"kind": "APIResourceList", "apiVersion": "v1", "groupVersion": "v1", "resources": [
  {"name": "configmaps", "singularName": "configmap", "namespaced": true, "kind": "ConfigMap",
   "verbs": ["create", "get", "list"]},
  {"name": "services", "singularName": "service", "namespaced": true, "kind": "Service",
   "verbs": ["create", "get", "list"]}]}
JSON
cat >"$discovery/apps/v1/serverresources.json" <<'JSON'
{"kind": "APIResourceList", "apiVersion": "v1", "groupVersion": "apps/v1", "resources": [
  {"name": "statefulsets", "singularName": "statefulset", "namespaced": true, "kind": "StatefulSet",
   "verbs": ["create", "get", "list"]}]}
JSON
printf 'apiVersion: v1\nkind: Config\n' >"$work/kubeconfig"
kubectl() {
  KUBECONFIG=$work/kubeconfig command kubectl --server="http://$server" --cache-dir="$work/cache" "$@"
}
# The object of file $1 as kubectl creates it, through JSONPath $2.
field() { kubectl create --dry-run=client --validate=false -f "$examples/$1" -o jsonpath="$2"; }

failures=0
# Passes when the shell condition $2 holds.
check() {
  if eval "$2"; then
    echo "kubernetes: ok: $1"
  else
    echo "kubernetes: FAILED: $1" >&2
    failures=$((failures + 1))
  fi
}

kubectl create --dry-run=client --validate=false -o yaml -f "$examples" >"$work/all.yaml" ||
  { echo "kubernetes: FAILED: kubectl create --dry-run=client refused $examples" >&2; exit 1; }
kinds=$(grep -E '^kind: ' "$work/all.yaml" | sort | tr '\n' ' ')
check "kubectl create --dry-run=client reads a ConfigMap, a Service and a StatefulSet" \
  '[ "$kinds" = "kind: ConfigMap kind: Service kind: StatefulSet " ]'
check "the StatefulSet reads into its typed form" \
  'kubectl set env --local -f "$examples/molv-statefulset.yaml" -o name MOLV_CHECK=1 >/dev/null'

set_file=molv-statefulset.yaml
pod='{.spec.template.spec'
molv="$pod.containers[?(@.name==\"molv\")]"
exporter="$pod.containers[?(@.name==\"node-exporter\")]"
settings=$(field molv-configmap.yaml '{.data.molv\.ini}')
setting() { sed -n "s/^$1=//p" <<<"$settings" | tr -d '\r'; }
image_volume=$(sed -n 's/^VOLUME //p' dist/Containerfile)
image_folder=$(sed -n 's/^WORKDIR //p' dist/Containerfile | tail -n 1)

check "one replica" '[ "$(field $set_file "{.spec.replicas}")" = 1 ]'

claim=$(field $set_file '{.spec.volumeClaimTemplates[0].metadata.name}')
game_mount=$(field $set_file "$molv.volumeMounts[?(@.name==\"$claim\")].mountPath}")
check "the game's folder ($image_volume, the image's volume) is on a persistent claim" \
  '[ -n "$claim" ] && [ "$game_mount" = "$image_volume" ]'
ini_mount=$(field $set_file "$molv.volumeMounts[?(@.subPath==\"molv.ini\")].mountPath}")
check "molv.ini comes from the ConfigMap into MOLV's folder" '[ "$ini_mount" = "$image_folder/molv.ini" ]'

grace=$(field $set_file "$pod.terminationGracePeriodSeconds}")
stop_timeout=$(setting stop_timeout)
check "terminationGracePeriodSeconds ($grace) above twice stop_timeout (${stop_timeout:-10})" \
  '[ "${grace:-0}" -gt $((2 * ${stop_timeout:-10})) ]'

probe=$(field $set_file "$molv.livenessProbe.exec.command[*]}")
check "the liveness probe is the health check in MOLV's folder" \
  '[ "$probe" = "/usr/local/bin/molv-health $image_folder" ]'

status_file=$(setting status_file)
status_volume=$(field $set_file "$molv.volumeMounts[?(@.mountPath==\"${status_file%/*}\")].name}")
exporter_mount=$(field $set_file "$exporter.volumeMounts[?(@.name==\"$status_volume\")].mountPath}")
exporter_args=$(field $set_file "$exporter.args[*]}")
check "the status file ($status_file) is on a volume the exporter reads" \
  '[ -n "$status_volume" ] && [ -n "$exporter_mount" ] &&
   grep -qw -- "--collector.textfile.directory=$exporter_mount" <<<"$exporter_args"'

check "MOLV has no terminal, so its log has no colour codes" '[ "$(field $set_file "$molv.tty}")" != true ]'

query_port=$(setting query_port)
service_ports=$(field molv-service.yaml '{range .spec.ports[*]}{.protocol}/{.port} {end}')
check "the Service carries the game port and the query port over UDP ($service_ports)" \
  '[ "$service_ports" = "UDP/$((query_port - 1)) UDP/$query_port " ]'
for port in $((query_port - 1)) "$query_port"; do
  check "port $port/udp is the image's and the pod's" \
    'grep -qw "$port/udp" <<<"$(sed -n "s/^EXPOSE //p" dist/Containerfile)" &&
     [ "$(field $set_file "$molv.ports[?(@.containerPort==$port)].protocol}")" = UDP ]'
done
selector=$(field molv-service.yaml '{.spec.selector}')
labels=$(field $set_file '{.spec.template.metadata.labels}')
check "the Service selects the server's pod" '[ -n "$selector" ] && [ "$selector" = "$labels" ]'

if [ "$failures" -gt 0 ]; then
  echo "kubernetes: $failures check(s) FAILED" >&2
  exit 1
fi
echo "kubernetes: every check passed"
