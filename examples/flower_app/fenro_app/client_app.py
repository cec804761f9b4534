"""The clients: local SGD on their partition. The partitions named in the run config's
"attackers" attack instead: the first flips its update and scales it by 4, the others send
large noise. Every reply names its partition, which the server uses as the client's id."""

import numpy as np
import torch
from flwr.app import ArrayRecord, ConfigRecord, Context, Message, MetricRecord, RecordDict
from flwr.clientapp import ClientApp

from fenro_app.task import Net, load_data, train

app = ClientApp()
torch.set_num_threads(1)


@app.train()
def train_step(msg: Message, context: Context) -> Message:
    partition = int(context.node_config["partition-id"])
    attackers = [int(p) for p in str(context.run_config["attackers"]).split(",") if p]
    net = Net()
    start = msg.content["arrays"].to_torch_state_dict()
    net.load_state_dict(start)
    x, y = load_data(partition)
    loss = train(net, x, y, int(context.run_config["local-epochs"]),
                 float(context.run_config["learning-rate"]))
    state = net.state_dict()
    if partition in attackers:
        rng = np.random.default_rng(int(msg.content["config"]["server-round"]))
        for key, value in state.items():
            if partition == attackers[0]:                     # flip and scale the update
                state[key] = start[key] - 4.0 * (value - start[key])
            else:                                             # large noise
                state[key] = value + torch.tensor(rng.normal(scale=3.0, size=value.shape),
                                                  dtype=value.dtype)
    content = RecordDict({
        "arrays": ArrayRecord(state),
        "metrics": MetricRecord({"num-examples": len(x), "train-loss": loss}),
        "config": ConfigRecord({"partition-id": partition}),
    })
    return Message(content, reply_to=msg)
